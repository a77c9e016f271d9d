// fwupd's install, run on the device's model, and the packings that avoid its faults.
#include "dfusepack/fwupdcheck.h"

#include <algorithm>
#include <optional>

namespace {

QString hex(quint64 value)
{
    return QString("0x%1").arg(value, 8, 16, QChar('0'));
}

QString span(const MemorySector &sector)
{
    return hex(sector.start) + "-" + hex(sector.end() - 1);
}

bool touches(const DfuSeElement &element, const MemorySector &sector)
{
    const quint64 start = element.address;
    const quint64 end = start + quint64(element.data.size());
    return start < sector.end() && sector.start < end;
}

} // namespace

FwupdCheck::FwupdCheck(const FwupdDevice &device)
    : m_device(device)
{ }

QStringList FwupdCheck::check(const DfuSeFile &file, const QByteArray &bytes) const
{
    QStringList problems;
    if (file.vendorId == 0xFFFF || file.productId == 0xFFFF)
        problems << "The suffix's vendor or product id is 0xFFFF: fwupd refuses the file "
                    "(\"firmware vendor ID not specified\"); give --vid and --pid.";
    const int suffixLength = bytes.size() >= 16 ? quint8(bytes.at(bytes.size() - 5)) : 0;
    if (file.kind == DfuSeFile::DfuSe && bytes.size() >= 11) {
        const quint32 imageSize = quint8(bytes[6]) | quint8(bytes[7]) << 8 | quint8(bytes[8]) << 16
            | quint32(quint8(bytes[9])) << 24;
        if (imageSize != quint32(bytes.size() - suffixLength))
            problems << QString("The image size field says %1 bytes, not the %2 before the "
                                "suffix: fwupd refuses the file.")
                            .arg(imageSize)
                            .arg(bytes.size() - suffixLength);
    }
    if ((file.kind == DfuSeFile::Plain) != m_device.plain)
        return problems;
    return problems + checkInstall(file);
}

QStringList FwupdCheck::checkInstall(const DfuSeFile &file) const
{
    if (m_device.plain && m_device.layouts.empty())
        return {"fwupd cannot verify this device unless its image fills the memory: it reads a "
                "plain device back until the device stops, and fails when that is not the "
                "image's size. Give the device's --memory-size to check it."};
    QStringList problems;
    for (const DfuSeTarget &target : file.targets) {
        if (target.alternateSetting >= m_device.layouts.size())
            problems << QString("Alternate setting %1: no --layout describes its memory.")
                            .arg(target.alternateSetting);
    }
    if (!problems.isEmpty())
        return problems;

    const FwupdModel model(m_device);
    const FwupdOutcome outcome = model.install(file);
    if (!outcome.error.isEmpty())
        problems << "fwupd ends \"" + outcome.error + "\"" + advice(outcome.error, file);
    for (const DfuSeTarget &target : file.targets) {
        const int alt = target.alternateSetting;
        for (const DfuSeElement &element : target.elements) {
            const QByteArray after
                = model.read(outcome, alt, element.address, quint64(element.data.size()));
            int wrong = 0, erased = 0;
            for (int i = 0; i < after.size(); ++i) {
                if (after.at(i) == element.data.at(i))
                    continue;
                ++wrong;
                erased += after.at(i) == char(0xFF) ? 1 : 0;
            }
            if (wrong == 0)
                continue;
            // Erased: wiped by a later erase, or never written; else old contents or misplaced.
            const QString how = erased == wrong ? " (all of them erased)"
                : erased == 0                   ? " (none of them erased)"
                                                : QString(" (%1 of them erased)").arg(erased);
            problems << QString("Alternate setting %1: the element at %2 (%3 bytes) is left "
                                "with %4 bytes wrong%5.")
                            .arg(alt)
                            .arg(hex(element.address))
                            .arg(element.data.size())
                            .arg(wrong)
                            .arg(how);
        }
    }
    // Sectors the file does not write that fwupd changed: a boot loader, or old data kept.
    for (size_t alt = 0; alt < m_device.layouts.size() && !m_device.plain; ++alt) {
        const MemoryLayout &layout = m_device.layouts[alt];
        for (const MemorySector &sector : layout.sectorsIn(layout.base(), ~quint64(0) >> 1)) {
            const bool written
                = std::any_of(file.targets.begin(), file.targets.end(), [&](const DfuSeTarget &t) {
                      return t.alternateSetting == alt
                          && std::any_of(t.elements.begin(), t.elements.end(),
                                         [&](const DfuSeElement &e) { return touches(e, sector); });
                  });
            if (!written
                && model.read(outcome, int(alt), sector.start, sector.size)
                    != QByteArray(int(sector.size), m_device.oldByte))
                problems << QString("Alternate setting %1: fwupd erases %2, which the file "
                                    "does not write.")
                                .arg(alt)
                                .arg(span(sector));
        }
    }
    return problems;
}

QString FwupdCheck::advice(const QString &error, const DfuSeFile &file) const
{
    const FwupdModel model(m_device);
    if (model.transferSize() != m_device.transferSize)
        return QString(": fwupd writes in %1-byte blocks, and the device counts %2-byte ones "
                       "(without a descriptor of its own an alternate setting gets fwupd's "
                       "64): a DfuForceTransferSize = %2 quirk mends that.")
            .arg(model.transferSize())
            .arg(m_device.transferSize);
    if (error.startsWith("no target with alt-setting")) {
        QStringList found;
        for (int alt : model.alternates())
            found << QString::number(alt);
        return ": fwupd finds alternate setting(s) " + found.join(", ")
            + " only. With the DFU functional descriptor once, after the last alternate "
              "setting, fwupd takes the interface that follows an alternate setting for its "
              "descriptor; no quirk helps. A device with the descriptor after each alternate "
              "setting (--functional-descriptor each) has them all.";
    }
    if (error.startsWith("invalid size") && m_device.plain) {
        const quint64 memory = m_device.layouts.front().totalSize();
        const qint64 image = file.targets.value(0).elements.value(0).data.size();
        if (quint64(image) < memory)
            return QString(": fwupd reads a plain device back until it stops sending, and the "
                           "device sends its whole memory. Pad the image to it: --pad-to %1.")
                .arg(memory);
        return ": the image is larger than the device's memory.";
    }
    if (error.startsWith("failed to write STM chunk") || error.startsWith("verify failed"))
        return ": an element that runs into the next region is written past it (fwupd sets the "
               "address again there, but goes on counting blocks from the element's start), "
               "and a sector whose only block starts at its first byte is never erased. "
               "--fwupd-merge splits elements at region boundaries.";
    if (error.startsWith("cannot upload data"))
        return ", reading back: fwupd reads each element back in whole blocks until it has "
               "more than the element, and the device has no memory after this one, which "
               "ends at a region's end and is a whole number of blocks long: end the firmware "
               "earlier, or give it a length that is not a whole number of blocks";
    return QString();
}

bool FwupdCheck::merge(DfuSeFile *file, QString *problem) const
{
    if (m_device.plain)
        return true;
    // fwupd plans each element's erases alone, whichever target holds it.
    QVector<DfuSeTarget> targets;
    for (const DfuSeTarget &target : file->targets) {
        auto same = std::find_if(targets.begin(), targets.end(), [&](const DfuSeTarget &t) {
            return t.alternateSetting == target.alternateSetting;
        });
        if (same == targets.end())
            targets << target;
        else
            same->elements += target.elements;
    }
    for (DfuSeTarget &target : targets) {
        if (target.alternateSetting >= m_device.layouts.size())
            continue;
        if (!mergeTarget(&target, problem))
            return false;
        splitAtRegions(&target);
    }
    file->targets = targets;
    return true;
}

bool FwupdCheck::mergeTarget(DfuSeTarget *target, QString *problem) const
{
    const MemoryLayout &layout = m_device.layouts[target->alternateSetting];
    if (target->elements.size() < 2)
        return true;
    QVector<DfuSeElement> elements = target->elements;
    std::sort(elements.begin(), elements.end(),
              [](const DfuSeElement &a, const DfuSeElement &b) { return a.address < b.address; });
    const std::optional<MemorySector> first = layout.sectorAt(elements.first().address);
    if (first && first->start == elements.first().address
        && elements.first().address != layout.base()) {
        *problem = QString("The first element starts on a sector boundary at %1, past the "
                           "layout's start: fwupd erases the sector before it all the same.")
                       .arg(hex(elements.first().address));
        return false;
    }
    DfuSeElement merged = elements.first();
    for (int i = 1; i < elements.size(); ++i) {
        const quint64 gapStart = merged.address + quint64(merged.data.size());
        const quint64 gapEnd = elements[i].address;
        for (const MemorySector &sector : layout.sectorsIn(gapStart, gapEnd - gapStart)) {
            const bool written
                = std::any_of(elements.begin(), elements.end(), [&](const DfuSeElement &element) {
                      return touches(element, sector);
                  });
            if (!written || !sector.has(MemoryLayout::Erasable)) {
                *problem = QString("Sector %1 between the elements at %2 and %3 is not "
                                   "erased for them: filling the gap would change it.")
                               .arg(span(sector), hex(merged.address), hex(elements[i].address));
                return false;
            }
        }
        if (!layout.rangesWithout(gapStart, gapEnd - gapStart, 0).empty()) {
            *problem = QString("The gap between the elements at %1 and %2 lies outside the "
                               "memory.")
                           .arg(hex(merged.address), hex(elements[i].address));
            return false;
        }
        merged.data += QByteArray(int(gapEnd - gapStart), char(0xFF));
        merged.data += elements[i].data;
    }
    target->elements = {merged};
    return true;
}

void FwupdCheck::splitAtRegions(DfuSeTarget *target) const
{
    const MemoryLayout &layout = m_device.layouts[target->alternateSetting];
    const quint64 block = FwupdModel(m_device).transferSize();
    QVector<DfuSeElement> result;
    for (const DfuSeElement &element : target->elements) {
        // In address order; written from the last, so that each part's erases come before
        // the parts below it write the sectors they share.
        QVector<DfuSeElement> parts;
        DfuSeElement rest = element;
        for (const RegionLayout &region : layout.regions) {
            const quint64 start = rest.address, end = start + quint64(rest.data.size());
            const quint64 boundary = region.base;
            if (boundary <= start || boundary >= end)
                continue;
            // A block that starts on the boundary still counts to the region before, so
            // one block past it needs no new address; the part above erases that sector.
            const quint64 past = std::min(boundary + block, end);
            QVector<quint64> cuts = {past};
            if ((boundary - start) % block != 0)
                cuts.prepend(boundary);
            for (quint64 cut : cuts) {
                parts.append({rest.address, rest.data.left(int(cut - rest.address))});
                rest = {quint32(cut), rest.data.mid(int(cut - rest.address))};
            }
        }
        if (!rest.data.isEmpty())
            parts.append(rest);
        std::reverse(parts.begin(), parts.end());
        result += parts;
    }
    target->elements = result;
}
