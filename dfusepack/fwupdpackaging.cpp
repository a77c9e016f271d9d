// The packer's cabinet and fwupd check.
#include "dfusepack/fwupdpackaging.h"

#include "dfuse/dfusereader.h"
#include "dfuse/dfusewriter.h"
#include "dfusepack/cabinetwriter.h"
#include "dfusepack/fwupdcheck.h"

#include <QSaveFile>

#include <cstdio>

namespace {

void print(FILE *stream, const QString &text)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
}

} // namespace

FwupdPackaging::FwupdPackaging()
    : m_cab("cab", "Also write a cabinet for fwupd and the LVFS to FILE.cab.", "FILE.cab")
    , m_check("check-fwupd",
              "Check FILE.dfu: exit 0 when fwupd would write it intact, 4 when not. With --cab, "
              "--fwupd-merge or --pad-to, pack it for fwupd, to -o and the cabinet.",
              "FILE.dfu")
    , m_transfer("transfer-size",
                 "The device's wTransferSize, as its DFU descriptor says (default 2048).", "N",
                 "2048")
    , m_quirkTransfer("quirk-transfer-size",
                      "The DfuForceTransferSize quirk fwupd has for the device, if any.", "N")
    , m_descriptor("functional-descriptor",
                   "Where the device's DFU functional descriptor stands: after each alternate "
                   "setting, or once after the last (default).",
                   "each|last", "last")
    , m_memorySize("memory-size", "A plain device's memory size, for the fwupd check.", "SIZE")
    , m_padTo("pad-to", "Pad the --plain image with 0xFF to SIZE bytes.", "SIZE")
    , m_merge("fwupd-merge",
              "Pack for fwupd: the targets of one alternate setting and each target's elements "
              "as one, filled with 0xFF where that keeps the flash contents, and elements split "
              "where they run into the next region.")
    , m_force("force", "Write the cabinet even when fwupd would damage the firmware.")
    , m_metadata(
          {{"cab-id", "Cabinet: component id, reverse DNS ending in .firmware.", "ID"},
           {"cab-name", "Cabinet: the firmware's name.", "TEXT"},
           {"cab-summary", "Cabinet: a one-line summary.", "TEXT"},
           {"cab-developer", "Cabinet: the developer's name.", "TEXT"},
           {"cab-license", "Cabinet: the firmware's licence (SPDX).", "SPDX"},
           {"cab-description", "Cabinet: the release's description.", "TEXT"},
           {"cab-date", "Cabinet: the release date (default today).", "YYYY-MM-DD"},
           {"cab-urgency", "Cabinet: low, medium (default), high or critical.", "LEVEL"},
           {"cab-integrity",
            "Cabinet: the device's integrity, signed or unsigned "
            "(default).",
            "KIND"},
           {"cab-fwupd", "Cabinet: the fwupd version required (default 1.8.12).", "VERSION"}})
{ }

void FwupdPackaging::addOptions(QCommandLineParser *parser) const
{
    parser->addOptions({m_cab, m_check, m_transfer, m_quirkTransfer, m_descriptor, m_memorySize,
                        m_padTo, m_merge, m_force});
    parser->addOptions(m_metadata);
}

int FwupdPackaging::readLayouts(const QCommandLineParser &parser, const MemoryLayouts &layouts)
{
    bool ok = false;
    m_device.transferSize = parser.value(m_transfer).toUInt(&ok, 0);
    bool quirkOk = true;
    m_device.forcedTransferSize
        = parser.isSet(m_quirkTransfer) ? parser.value(m_quirkTransfer).toUInt(&quirkOk, 0) : 0;
    if (!ok || !quirkOk || m_device.transferSize == 0 || m_device.transferSize > 0xFFFF
        || m_device.forcedTransferSize > 0xFFFF
        || (parser.isSet(m_quirkTransfer) && m_device.forcedTransferSize == 0)) {
        print(stderr, "--transfer-size and --quirk-transfer-size take a number from 1 to 65535.");
        return Usage;
    }
    const QString descriptor = parser.value(m_descriptor);
    if (descriptor != "each" && descriptor != "last") {
        print(stderr, "--functional-descriptor takes each or last.");
        return Usage;
    }
    m_device.descriptor
        = descriptor == "each" ? FwupdDevice::AfterEachAlternate : FwupdDevice::AfterLastAlternate;
    bool memoryOk = true, padOk = true;
    m_memory
        = parser.isSet(m_memorySize) ? parser.value(m_memorySize).toULongLong(&memoryOk, 0) : 0;
    m_pad = parser.isSet(m_padTo) ? parser.value(m_padTo).toULongLong(&padOk, 0) : 0;
    if (!memoryOk || !padOk
        || (parser.isSet(m_memorySize) && (m_memory == 0 || m_memory > 512u << 20))
        || (parser.isSet(m_padTo) && (m_pad == 0 || m_pad > 512u << 20))) {
        print(stderr, "--memory-size and --pad-to take a size from 1 byte to 512 MiB.");
        return Usage;
    }
    m_device.layouts.assign(layouts.begin(), layouts.end());
    return -1;
}

FwupdDevice FwupdPackaging::device(bool plain) const
{
    FwupdDevice device = m_device;
    device.plain = plain;
    if (plain) {
        device.layouts.clear();
        if (m_memory != 0) {
            MemoryLayout layout;
            layout.regions.push_back(
                {0, {{1, quint32(m_memory), MemoryLayout::Readable | MemoryLayout::Writable}}});
            device.layouts.push_back(layout);
        }
    }
    return device;
}

int FwupdPackaging::runCheck(const QCommandLineParser &parser, const MemoryLayouts &layouts)
{
    const int layoutExit = readLayouts(parser, layouts);
    if (layoutExit >= 0)
        return layoutExit;
    if ((m_device.layouts.empty() && !parser.isSet(m_memorySize))
        || !parser.positionalArguments().isEmpty()) {
        print(stderr,
              "--check-fwupd FILE.dfu takes --layout, once per alternate setting (or a plain "
              "device's --memory-size), and no inputs.");
        return Usage;
    }
    DfuSeReader reader;
    if (!reader.readFile(parser.value(m_check))) {
        print(stderr, parser.value(m_check) + ": " + reader.errorString() + ".");
        return BadMetadata;
    }
    const bool plain = reader.file().kind == DfuSeFile::Plain;
    // A file made by another tool, packed for fwupd as the packer's own are.
    if (parser.isSet(m_cab) || parser.isSet(m_merge) || parser.isSet(m_padTo)) {
        DfuSeFile file = reader.file();
        QByteArray bytes = reader.bytes();
        const int optionsExit = readOptions(parser, file, plain, layouts);
        const int prepared = optionsExit >= 0 ? optionsExit : prepare(parser, &file, &bytes);
        if (prepared >= 0)
            return prepared;
        QSaveFile out(parser.value("output"));
        if (parser.isSet("output")
            && (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size()
                || !out.commit())) {
            print(stderr, "Cannot write \"" + out.fileName() + "\": " + out.errorString() + ".");
            return 1;
        }
        return writeCabinet(parser, bytes) ? 0 : 1;
    }
    const QStringList problems = FwupdCheck(device(plain)).check(reader.file(), reader.bytes());
    for (const QString &problem : problems)
        print(stdout, problem);
    if (!problems.isEmpty())
        return Damaged;
    print(stdout, parser.value(m_check) + ": fwupd would write it intact.");
    return 0;
}

int FwupdPackaging::readOptions(const QCommandLineParser &parser, const DfuSeFile &ids, bool plain,
                                const MemoryLayouts &layouts)
{
    const int layoutExit = readLayouts(parser, layouts);
    if (layoutExit >= 0)
        return layoutExit;
    if (parser.isSet(m_padTo) && !plain) {
        print(stderr, "--pad-to is for --plain images.");
        return Usage;
    }
    if (parser.isSet(m_merge) && m_device.layouts.empty()) {
        print(stderr, "--fwupd-merge needs the device's --layout.");
        return Usage;
    }
    if (!parser.isSet(m_cab))
        return -1;
    QStringList values;
    for (const QCommandLineOption &option : m_metadata)
        values << parser.value(option);
    m_metainfo.id = values[0];
    m_metainfo.name = values[1];
    m_metainfo.summary = values[2];
    m_metainfo.developer = values[3];
    m_metainfo.projectLicense = values[4];
    m_metainfo.description = values[5];
    m_metainfo.date
        = values[6].isEmpty() ? QDate::currentDate() : QDate::fromString(values[6], Qt::ISODate);
    m_metainfo.urgency = values[7].isEmpty() ? m_metainfo.urgency : values[7];
    m_metainfo.integrity = values[8].isEmpty() ? m_metainfo.integrity : values[8];
    m_metainfo.fwupdVersion = values[9].isEmpty() ? m_metainfo.fwupdVersion : values[9];
    m_metainfo.vendor = ids.vendorId;
    m_metainfo.product = ids.productId;
    m_metainfo.version = ids.deviceVersion;
    m_metainfo.dfuse = !plain;
    QString problem = m_metainfo.problem();
    if (problem.isEmpty() && !plain && m_device.layouts.empty())
        problem = "A DfuSe cabinet needs the device's --layout, to check what fwupd would write.";
    if (!problem.isEmpty()) {
        print(stderr, problem);
        return BadMetadata;
    }
    if (!CabinetWriter::available()) {
        print(stderr, "--cab: this build has no cabinet support (libgcab).");
        return Usage;
    }
    return -1;
}

int FwupdPackaging::prepare(const QCommandLineParser &parser, DfuSeFile *file, QByteArray *bytes)
{
    const bool plain = file->kind == DfuSeFile::Plain;
    if (plain && m_pad != 0) {
        QByteArray &image = file->targets[0].elements[0].data;
        if (quint64(image.size()) > m_pad) {
            print(stderr,
                  QString("The image is %1 bytes, more than --pad-to %2.")
                      .arg(image.size())
                      .arg(m_pad));
            return Usage;
        }
        image += QByteArray(int(m_pad - quint64(image.size())), char(0xFF));
        *bytes = DfuSeWriter::writePlain(*file);
    }
    // A .dfu for dfu-util alone is not held to fwupd's faults.
    if ((!plain && m_device.layouts.empty()) || (!parser.isSet(m_cab) && !parser.isSet(m_merge)))
        return -1;
    const FwupdCheck check(device(plain));
    if (parser.isSet(m_merge)) {
        QString problem;
        if (!check.merge(file, &problem)) {
            print(stderr, "Cannot merge for fwupd: " + problem);
            return Damaged;
        }
        if (!plain)
            *bytes = DfuSeWriter::write(*file);
    }
    const QStringList problems = check.check(*file, *bytes);
    for (const QString &problem : problems)
        print(stderr, problem);
    if (problems.isEmpty() || parser.isSet(m_force))
        return -1;
    print(stderr,
          QString("fwupd would not write this file intact: nothing written "
                  "(--fwupd-merge may mend it; --force writes it all the same)."));
    return Damaged;
}

bool FwupdPackaging::writeCabinet(const QCommandLineParser &parser, const QByteArray &bytes) const
{
    if (!parser.isSet(m_cab))
        return true;
    FwupdMetainfo metainfo = m_metainfo;
    metainfo.firmware = bytes;
    QString error;
    const QByteArray cabinet = CabinetWriter::write(
        {{metainfo.firmwareName, bytes}, {"firmware.metainfo.xml", metainfo.xml()}}, &error);
    QSaveFile out(parser.value(m_cab));
    if (cabinet.isNull() || !out.open(QIODevice::WriteOnly) || out.write(cabinet) != cabinet.size()
        || !out.commit()) {
        print(stderr,
              "Cannot write \"" + out.fileName()
                  + "\": " + (cabinet.isNull() ? error : out.errorString()) + ".");
        return false;
    }
    print(stdout,
          out.fileName() + ": cabinet for fwupd, device GUID "
              + FwupdMetainfo::deviceGuid(metainfo.vendor, metainfo.product) + ", version "
              + FwupdMetainfo::bcdVersion(metainfo.version));
    return true;
}
