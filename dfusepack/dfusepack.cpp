// dfusepack: turns raw binary images and their load addresses into a DfuSe firmware file, or
// one raw image into a plain DFU file.
#include "dfuse/dfusefile.h"
#include "dfuse/dfuseformat.h"
#include "dfuse/dfusereader.h"
#include "dfuse/dfusewriter.h"
#include "dfuse/downloadplan.h"
#include "dfusepack/fwupdpackaging.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <new>

namespace {

// Refused: what the inputs make is a file the update tool would refuse.
enum PackExit { PackOk = 0, PackFailed = 1, PackUsage = 2, PackRefused = 3 };

void printError(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

bool parseNumber(const QString &text, quint32 maximum, quint32 *value)
{
    bool ok = false;
    const qulonglong number = text.toULongLong(&ok, 0);
    if (!ok || number > maximum)
        return false;
    *value = quint32(number);
    return true;
}

struct Input
{
    quint32 alternate = 0;
    quint32 address = 0;
    QString path;
    qint64 size = 0;
};

bool findImage(Input *input, QString *problem);

// An input is [ALT@]ADDRESS:FILE; the file part may itself hold colons (drive letters).
bool parseInput(const QString &text, quint32 defaultAlternate, Input *input, QString *problem)
{
    const int colon = text.indexOf(':');
    // A Windows path given without an address would otherwise read as address "C".
    const bool drive = colon == 1 && text.at(0).isLetter() && text.size() > 2
        && (text.at(2) == '/' || text.at(2) == '\\');
    if (colon < 0 || drive) {
        *problem = "\"" + text + "\" is not ADDRESS:FILE.";
        return false;
    }
    QString where = text.left(colon);
    input->path = text.mid(colon + 1);
    input->alternate = defaultAlternate;
    const int at = where.indexOf('@');
    if (at >= 0) {
        if (!parseNumber(where.left(at), 255, &input->alternate)) {
            *problem = "\"" + where.left(at) + "\" is not an alternate setting from 0 to 255.";
            return false;
        }
        where = where.mid(at + 1);
    }
    if (!parseNumber(where, 0xFFFFFFFFu, &input->address)) {
        *problem = "\"" + where + "\" is not a 32-bit address.";
        return false;
    }
    return findImage(input, problem);
}

bool findImage(Input *input, QString *problem)
{
    const QFileInfo info(input->path);
    if (!info.isFile() || !info.isReadable()) {
        *problem = "Cannot read \"" + input->path + "\": it is not a readable file.";
        return false;
    }
    input->size = info.size();
    return true;
}

// The size of the file these inputs make, from their sizes alone.
qint64 packedSize(const QVector<Input> &inputs, bool plain)
{
    if (plain)
        return inputs.first().size + DfuSeFormat::SuffixSize;
    QVector<quint32> alternates;
    qint64 size = DfuSeFormat::PrefixSize + DfuSeFormat::SuffixSize;
    for (const Input &input : inputs) {
        if (!alternates.contains(input.alternate)) {
            alternates << input.alternate;
            size += DfuSeFormat::TargetHeaderSize;
        }
        size += DfuSeFormat::ElementHeaderSize + input.size;
    }
    return size;
}

bool addInput(const Input &input, DfuSeFile *file, QString *problem)
{
    QFile image(input.path);
    DfuSeElement element;
    element.address = input.address;
    if (image.open(QIODevice::ReadOnly))
        element.data = image.read(input.size);
    if (element.data.size() != input.size) {
        *problem = "Cannot read \"" + input.path + "\" whole: "
            + (image.error() != QFileDevice::NoError ? image.errorString()
                                                     : QString("it changed while being read"))
            + ".";
        return false;
    }

    for (DfuSeTarget &target : file->targets) {
        if (target.alternateSetting == input.alternate) {
            target.elements.append(element);
            return true;
        }
    }
    DfuSeTarget target;
    target.alternateSetting = quint8(input.alternate);
    target.elements.append(element);
    file->targets.append(target);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Packs raw binary images into a DfuSe firmware file. Each input is "
        "[ALT@]ADDRESS:FILE, for example 0x08000000:app.bin or 1@0x1FFF7800:options.bin; "
        "inputs with the same alternate setting go into one target, in the order given. With "
        "--plain, the one input is a raw IMAGE for a plain DFU device.");
    const QCommandLineOption outputOption({"o", "output"}, "Write the file to FILE.", "FILE");
    const QCommandLineOption vendorOption(
        "vid", "USB vendor id in the suffix (default 0xFFFF, any).", "ID", "0xFFFF");
    const QCommandLineOption productOption(
        "pid", "USB product id in the suffix (default 0xFFFF, any).", "ID", "0xFFFF");
    const QCommandLineOption deviceOption(
        "bcd", "Firmware version in the suffix (default 0xFFFF, unused).", "VERSION", "0xFFFF");
    const QCommandLineOption alternateOption(
        "alt", "Alternate setting for inputs that name none (default 0).", "N", "0");
    const QCommandLineOption nameOption("name", "Name every target TEXT.", "TEXT");
    const QCommandLineOption plainOption(
        "plain", "Write a plain DFU file (DFU 1.1, no DfuSe prefix) from one raw IMAGE.");
    const QCommandLineOption layoutOption(
        "layout",
        "The device's memory layout, once per alternate setting from 0 on, to be warned about "
        "elements that share an erasable sector, and for the fwupd check.",
        "LAYOUT");
    parser.addOptions({outputOption, vendorOption, productOption, deviceOption, alternateOption,
                       nameOption, plainOption, layoutOption});
    FwupdPackaging fwupd;
    fwupd.addOptions(&parser);
    const QCommandLineOption helpOption = parser.addHelpOption();
    parser.addPositionalArgument("inputs", "Images to pack, as [ALT@]ADDRESS:FILE, or IMAGE.",
                                 "[ALT@]ADDRESS:FILE... | --plain IMAGE");
    if (!parser.parse(app.arguments())) {
        printError(parser.errorText()
                   + "\nUsage: dfusepack -o FILE [OPTIONS] [ALT@]ADDRESS:FILE... | --plain IMAGE "
                     "(--help tells more)");
        return PackUsage;
    }
    if (parser.isSet(helpOption))
        parser.showHelp();

    DfuSeFile file;
    quint32 vendor = 0, product = 0, device = 0, alternate = 0;
    if (!parseNumber(parser.value(vendorOption), 0xFFFF, &vendor)
        || !parseNumber(parser.value(productOption), 0xFFFF, &product)
        || !parseNumber(parser.value(deviceOption), 0xFFFF, &device)) {
        printError("--vid, --pid and --bcd take numbers from 0 to 0xFFFF.");
        return PackUsage;
    }
    if (!parseNumber(parser.value(alternateOption), 255, &alternate)) {
        printError("--alt takes a number from 0 to 255.");
        return PackUsage;
    }
    MemoryLayouts layouts;
    for (const QString &text : parser.values(layoutOption)) {
        std::string error;
        const std::optional<MemoryLayout> layout = MemoryLayout::parse(text.toStdString(), &error);
        if (!layout) {
            printError("--layout: " + QString::fromStdString(error) + ".");
            return PackUsage;
        }
        layouts.insert(layouts.size(), *layout);
    }
    if (fwupd.checkOnly(parser))
        return fwupd.runCheck(parser, layouts);
    if ((!parser.isSet(outputOption) && !fwupd.cabinet(parser))
        || parser.positionalArguments().isEmpty()) {
        printError("Give an output file with -o or --cab and at least one ADDRESS:FILE input.");
        return PackUsage;
    }
    // A plain file is one image, written from the start of alternate setting 0.
    const bool plain = parser.isSet(plainOption);
    if (plain
        && (parser.positionalArguments().size() > 1 || parser.isSet(alternateOption)
            || parser.isSet(nameOption))) {
        printError("--plain takes one raw IMAGE, without an address, --alt or --name.");
        return PackUsage;
    }
    const QString kind = plain ? "plain DFU" : "DfuSe";
    file.kind = plain ? DfuSeFile::Plain : DfuSeFile::DfuSe;
    file.vendorId = quint16(vendor);
    file.productId = quint16(product);
    file.deviceVersion = quint16(device);
    const int fwupdExit = fwupd.readOptions(parser, file, plain, layouts);
    if (fwupdExit >= 0)
        return fwupdExit;

    QVector<Input> inputs;
    for (const QString &text : parser.positionalArguments()) {
        Input input;
        input.path = text;
        QString problem;
        if (plain ? !findImage(&input, &problem) : !parseInput(text, alternate, &input, &problem)) {
            printError(problem);
            return PackUsage;
        }
        // The update tool would leave it out: dfu-util cannot write an element of no bytes.
        if (!plain && input.size == 0) {
            printError("\"" + input.path + "\" holds no firmware bytes: give each element some.");
            return PackRefused;
        }
        inputs << input;
    }
    // Replacing an input would lose the image; through links and relative paths it is the same.
    const QString output = QFileInfo(parser.value(outputOption)).canonicalFilePath();
    for (const Input &input : inputs) {
        if (!output.isEmpty() && QFileInfo(input.path).canonicalFilePath() == output) {
            printError("\"" + parser.value(outputOption)
                       + "\" is one of the inputs; write to "
                         "another file.");
            return PackUsage;
        }
    }
    // Refused from the sizes alone, before anything is read into memory.
    const qint64 size = packedSize(inputs, plain);
    if (size > DfuSeReader::MaximumFileSize) {
        printError(QString("These inputs make a %1 file of %2 bytes; the update tool takes "
                           "at most %3.")
                       .arg(kind)
                       .arg(size)
                       .arg(DfuSeReader::MaximumFileSize));
        return PackRefused;
    }

    QByteArray bytes;
    DfuSeReader check;
    try {
        for (const Input &input : inputs) {
            QString problem;
            if (!addInput(input, &file, &problem)) {
                printError(problem);
                return PackFailed;
            }
        }
        if (parser.isSet(nameOption)) {
            for (DfuSeTarget &target : file.targets) {
                target.named = true;
                target.name = parser.value(nameOption).toUtf8();
            }
        }
        bytes = plain ? DfuSeWriter::writePlain(file) : DfuSeWriter::write(file);
        // Whatever else the tool would refuse (overlaps, no bytes) is not written either.
        if (!check.read(bytes)) {
            printError("These inputs make no valid " + kind + " file: " + check.errorString()
                       + ".");
            return PackRefused;
        }
    } catch (const std::bad_alloc &) {
        printError(QString("There is not enough memory to pack %1 bytes.").arg(size));
        return PackFailed;
    }

    const int checkExit = fwupd.prepare(parser, &file, &bytes);
    if (checkExit >= 0)
        return checkExit;

    for (const QString &note : DownloadPlan::make(file, layouts).notes)
        printError("Warning: " + note + ".");
    QSaveFile out(parser.value(outputOption));
    bool written = !parser.isSet(outputOption) || out.open(QIODevice::WriteOnly);
    // A short write sets no error; the next one tells why (a full disk).
    for (qint64 done = 0, put = 0; parser.isSet(outputOption) && written && done < bytes.size();
         done += put) {
        put = out.write(bytes.constData() + done, bytes.size() - done);
        written = put > 0;
    }
    if (parser.isSet(outputOption) && (!written || !out.commit())) {
        printError("Cannot write \"" + out.fileName() + "\": " + out.errorString() + ".");
        return PackFailed;
    }
    if (!fwupd.writeCabinet(parser, bytes))
        return PackFailed;
    if (!parser.isSet(outputOption))
        return PackOk;
    if (plain)
        std::printf("%s: plain DFU file, %lld bytes of firmware\n", qPrintable(out.fileName()),
                    file.dataSize());
    else
        std::printf("%s: %d target(s), %d element(s), %lld bytes of firmware\n",
                    qPrintable(out.fileName()), int(file.targets.size()), file.elementCount(),
                    file.dataSize());
    return PackOk;
}
