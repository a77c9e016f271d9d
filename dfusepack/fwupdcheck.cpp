// fwupd's DfuSe erase plan, simulated.
#include "dfusepack/fwupdcheck.h"

#include <QMap>
#include <QSet>

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

// The sector fwupd finds for an address: the first, in address order, with start <= address
// <= end, so that an address at a sector's end belongs to the sector before.
std::optional<MemorySector> fwupdSector(const MemoryLayout &layout, quint64 address)
{
    if (address > 0) {
        const std::optional<MemorySector> before = layout.sectorAt(address - 1);
        if (before && before->end() == address)
            return before;
    }
    return layout.sectorAt(address);
}

bool touches(const DfuSeElement &element, const MemorySector &sector)
{
    const quint64 start = element.address;
    const quint64 end = start + quint64(element.data.size());
    return start < sector.end() && sector.start < end;
}

} // namespace

FwupdCheck::FwupdCheck(const std::vector<MemoryLayout> &layouts, quint32 transferSize)
    : m_layouts(layouts)
    , m_transferSize(transferSize)
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
    if (file.kind != DfuSeFile::DfuSe)
        return problems;
    for (const DfuSeTarget &target : file.targets)
        problems << checkTarget(target);
    return problems;
}

QStringList FwupdCheck::checkTarget(const DfuSeTarget &target) const
{
    const QString where = QString("Alternate setting %1: ").arg(target.alternateSetting);
    if (target.alternateSetting >= m_layouts.size())
        return {where + "no --layout describes its memory."};
    const MemoryLayout &layout = m_layouts[target.alternateSetting];
    QStringList problems;
    // Per sector start: the element that last wrote it, or -1 once fwupd erased it.
    QMap<quint64, int> state;
    for (int e = 0; e < target.elements.size(); ++e) {
        const DfuSeElement &element = target.elements[e];
        const quint64 size = quint64(element.data.size());
        const quint64 chunk = std::min<quint64>(m_transferSize, size);
        // The sectors fwupd marks for erasing, looked up at each chunk's start.
        QVector<MemorySector> erases;
        QSet<quint64> marked;
        for (quint64 offset = 0, i = 0; offset < size; ++i, offset = i * chunk) {
            for (quint64 at = offset; at < (i + 1) * chunk;) {
                const std::optional<MemorySector> sector
                    = fwupdSector(layout, element.address + at);
                if (!sector || !sector->has(MemoryLayout::Writable)) {
                    problems << where
                            + QString("fwupd stops at %1: it finds no writable sector there.")
                                  .arg(hex(element.address + at));
                    return problems;
                }
                if (sector->has(MemoryLayout::Erasable) && !marked.contains(sector->start)) {
                    marked.insert(sector->start);
                    erases << *sector;
                }
                at += sector->size;
            }
        }
        for (const MemorySector &sector : erases) {
            const int writer = state.value(sector.start, -2);
            if (writer >= 0)
                problems << where
                        + QString("fwupd erases %1 for the element at %2, wiping what the "
                                  "element at %3 wrote there.")
                              .arg(span(sector), hex(element.address),
                                   hex(target.elements[writer].address));
            else if (!touches(element, sector)
                     && std::none_of(
                         target.elements.begin() + e + 1, target.elements.end(),
                         [&](const DfuSeElement &later) { return touches(later, sector); }))
                problems << where
                        + QString("fwupd erases %1, which the file does not write, for the "
                                  "element at %2.")
                              .arg(span(sector), hex(element.address));
            state[sector.start] = -1;
        }
        for (const MemorySector &sector : layout.sectorsIn(element.address, size)) {
            if (sector.has(MemoryLayout::Erasable) && state.value(sector.start, -2) == -2)
                problems << where
                        + QString("fwupd writes %1 without erasing it (it counts the one chunk "
                                  "starting there to the sector before): over old firmware the "
                                  "read-back fails; a DfuForceTransferSize below 0x%2 avoids it.")
                              .arg(span(sector))
                              .arg(sector.size, 0, 16);
            state[sector.start] = e;
        }
    }
    return problems;
}

bool FwupdCheck::merge(DfuSeFile *file, QString *problem) const
{
    for (DfuSeTarget &target : file->targets) {
        if (target.elements.size() < 2 || target.alternateSetting >= m_layouts.size())
            continue;
        const MemoryLayout &layout = m_layouts[target.alternateSetting];
        QVector<DfuSeElement> elements = target.elements;
        std::sort(
            elements.begin(), elements.end(),
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
                const bool written = std::any_of(
                    elements.begin(), elements.end(),
                    [&](const DfuSeElement &element) { return touches(element, sector); });
                if (!written || !sector.has(MemoryLayout::Erasable)) {
                    *problem
                        = QString("Sector %1 between the elements at %2 and %3 is not "
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
        target.elements = {merged};
    }
    return true;
}
