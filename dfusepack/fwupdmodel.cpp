// fwupd 2.0.20's dfu plugin, step by step, against a device's memory.
#include "dfusepack/fwupdmodel.h"

#include <QSet>

#include <algorithm>

namespace {

// fwupd prints addresses as %04x.
QString hex4(quint64 value)
{
    return QString("0x%1").arg(value, 4, 16, QChar('0'));
}

const char *const OutOfRange = "cannot wait for busy: Cannot program memory due to address out "
                               "of range";

} // namespace

// The device's side: its memory, and what it answers to writes and reads.
class FwupdModel::Session
{
public:
    Session(const FwupdDevice &device)
        : m_device(device)
    {
        for (const MemoryLayout &layout : device.layouts) {
            std::vector<QByteArray> regions;
            for (const RegionLayout &region : layout.regions)
                regions.push_back(QByteArray(int(region.size()), device.oldByte));
            outcome.memory.push_back(regions);
        }
    }

    // The region of an alternate setting holding [address, address + size), or -1.
    int region(int alternate, quint64 address, quint64 size, quint8 bits) const
    {
        const MemoryLayout &layout = m_device.layouts[size_t(alternate)];
        for (size_t r = 0; r < layout.regions.size(); ++r) {
            const RegionLayout &region = layout.regions[r];
            if (address < region.base || address - region.base >= region.size())
                continue;
            if (size == 0 || address + size > region.base + region.size())
                return -1;
            for (const MemorySector &sector : layout.sectorsIn(address, size)) {
                if (!sector.has(bits))
                    return -1;
            }
            return int(r);
        }
        return -1;
    }

    bool write(int alternate, quint64 address, const QByteArray &data)
    {
        const int r = region(alternate, address, quint64(data.size()), MemoryLayout::Writable);
        if (r < 0)
            return false;
        const MemoryLayout &layout = m_device.layouts[size_t(alternate)];
        QByteArray &bytes = outcome.memory[size_t(alternate)][size_t(r)];
        const quint64 base = layout.regions[size_t(r)].base;
        for (int i = 0; i < data.size(); ++i) {
            const quint64 at = address + quint64(i);
            // DfuSe flash only clears bits; a plain device erases as it writes.
            const bool flash = !m_device.plain && layout.sectorAt(at)->has(MemoryLayout::Erasable);
            const int offset = int(at - base);
            bytes[offset] = flash ? char(bytes.at(offset) & data.at(i)) : data.at(i);
        }
        return true;
    }

    void erase(int alternate, const Sector &sector)
    {
        const int r = region(alternate, sector.start, 1, 0);
        const quint64 base = m_device.layouts[size_t(alternate)].regions[size_t(r)].base;
        outcome.memory[size_t(alternate)][size_t(r)].replace(
            int(sector.start - base), int(sector.size), QByteArray(int(sector.size), char(0xFF)));
    }

    // A block read: up to size bytes from address, short at a region's end; null when the
    // device stalls.
    QByteArray upload(int alternate, quint64 address, quint32 size) const
    {
        const MemoryLayout &layout = m_device.layouts[size_t(alternate)];
        for (size_t r = 0; r < layout.regions.size(); ++r) {
            const RegionLayout &region = layout.regions[r];
            if (address < region.base || address - region.base >= region.size())
                continue;
            const quint64 count = std::min<quint64>(size, region.base + region.size() - address);
            if (this->region(alternate, address, count, MemoryLayout::Readable) < 0)
                return QByteArray();
            return outcome.memory[size_t(alternate)][r].mid(int(address - region.base), int(count));
        }
        // A plain device ends an upload at the end of its memory with an empty block.
        return m_device.plain ? QByteArray("") : QByteArray();
    }

    FwupdOutcome outcome;

private:
    const FwupdDevice &m_device;
};

FwupdModel::FwupdModel(const FwupdDevice &device)
    : m_device(device)
{ }

std::vector<int> FwupdModel::alternates() const
{
    std::vector<int> found;
    const int count = int(m_device.layouts.size());
    const bool each = m_device.plain || m_device.descriptor == FwupdDevice::AfterEachAlternate;
    for (int alt = 0; alt < count; alt += each || alt == count - 1 ? 1 : 2)
        found.push_back(alt);
    return found;
}

quint32 FwupdModel::transferSize() const
{
    if (m_device.forcedTransferSize != 0)
        return m_device.forcedTransferSize;
    // Without a descriptor of its own an alternate setting keeps fwupd's default of 64 bytes.
    const std::vector<int> found = alternates();
    const bool described = m_device.plain || m_device.descriptor == FwupdDevice::AfterEachAlternate
        || found.back() == int(m_device.layouts.size()) - 1;
    return described ? m_device.transferSize : 64;
}

std::vector<FwupdModel::Sector> FwupdModel::sectors(int alternate) const
{
    std::vector<Sector> found;
    const MemoryLayout &layout = m_device.layouts[size_t(alternate)];
    for (size_t r = 0; r < layout.regions.size(); ++r) {
        quint64 at = layout.regions[r].base;
        for (const SectorRun &run : layout.regions[r].runs) {
            for (quint32 i = 0; i < run.count; ++i, at += run.size)
                found.push_back({at, run.size, run.attributes, int(r)});
        }
    }
    return found;
}

const FwupdModel::Sector *FwupdModel::lookup(const std::vector<Sector> &sectors, quint64 address)
{
    for (const Sector &sector : sectors) {
        if (address >= sector.start && address <= sector.start + sector.size)
            return &sector;
    }
    return nullptr;
}

FwupdOutcome FwupdModel::install(const DfuSeFile &file) const
{
    Session device(m_device);
    FwupdOutcome &outcome = device.outcome;
    const quint32 size = transferSize();
    const std::vector<int> found = alternates();

    if (m_device.plain) {
        const QByteArray image = file.targets.value(0).elements.value(0).data;
        const int blocks = (image.size() + int(size) - 1) / int(size);
        for (int i = 0; i < blocks; ++i) {
            if (!device.write(0, quint64(i) * size, image.mid(i * int(size), int(size)))) {
                outcome.error = QString("failed to write chunk %1: %2").arg(i).arg(OutOfRange);
                return outcome;
            }
        }
        // The read-back goes on until a short block, or past the image's size.
        QByteArray back;
        for (quint64 at = 0;; at += size) {
            const QByteArray block = device.upload(0, at, size);
            if (back.size() + block.size() > image.size()) {
                back += block;
                break;
            }
            back += block;
            if (block.size() < int(size))
                break;
        }
        if (back.size() != image.size()) {
            outcome.error
                = QString("invalid size, got %1, expected %2").arg(back.size()).arg(image.size());
            return outcome;
        }
        for (int i = 0; i < image.size(); ++i) {
            if (back.at(i) != image.at(i)) {
                outcome.error = QString("verify failed: got 0x%1, expected 0x%2 @ %3")
                                    .arg(quint8(back.at(i)), 2, 16, QChar('0'))
                                    .arg(quint8(image.at(i)), 2, 16, QChar('0'))
                                    .arg(hex4(quint64(i)));
                return outcome;
            }
        }
        return outcome;
    }

    for (const DfuSeTarget &target : file.targets) {
        const int alt = target.alternateSetting;
        if (std::find(found.begin(), found.end(), alt) == found.end()) {
            outcome.error = QString("no target with alt-setting %1").arg(alt);
            return outcome;
        }
        const std::vector<Sector> map = sectors(alt);
        for (const DfuSeElement &element : target.elements) {
            const quint64 address = element.address;
            const quint64 length = quint64(element.data.size());
            const quint64 chunk = std::min<quint64>(size, length);
            const quint64 chunks = (length + size - 1) / size;
            // The sectors to erase, looked up from each chunk's start by sector sizes.
            std::vector<const Sector *> erases;
            QSet<const Sector *> marked;
            for (quint64 i = 0; i < chunks; ++i) {
                for (quint64 offset = i * chunk; offset < (i + 1) * chunk;) {
                    const Sector *sector = lookup(map, address + offset);
                    if (!sector) {
                        outcome.error = "no memory sector at " + hex4(address + offset);
                        return outcome;
                    }
                    if (!(sector->attributes & MemoryLayout::Writable)) {
                        outcome.error
                            = "memory sector at " + hex4(address + offset) + " is not writable";
                        return outcome;
                    }
                    if ((sector->attributes & MemoryLayout::Erasable) && !marked.contains(sector)) {
                        marked.insert(sector);
                        erases.push_back(sector);
                    }
                    offset += sector->size;
                }
            }
            for (const Sector *sector : erases)
                device.erase(alt, *sector);
            // The address pointer is set again where the zone changes, the block number not.
            int zone = -1;
            quint64 pointer = 0;
            for (quint64 i = 0; i < chunks; ++i) {
                const quint64 at = address + i * size;
                const Sector *sector = lookup(map, at);
                if (!sector) {
                    outcome.error = QString("no valid sector for 0x%1").arg(at, 0, 16);
                    return outcome;
                }
                if (sector->zone != zone) {
                    pointer = at;
                    zone = sector->zone;
                }
                const QByteArray data = element.data.mid(int(i * size), int(size));
                if (!device.write(alt, pointer + i * m_device.transferSize, data)) {
                    outcome.error
                        = QString("failed to write STM chunk %1: %2").arg(i).arg(OutOfRange);
                    return outcome;
                }
            }
            // The read-back, right after the element's write.
            const Sector *first = lookup(map, address);
            if (!first) {
                outcome.error = "no memory sector at " + hex4(address);
                return outcome;
            }
            if (!(first->attributes & MemoryLayout::Readable)) {
                outcome.error = "memory sector at " + hex4(address) + " is not readable";
                return outcome;
            }
            QByteArray back;
            for (quint64 block = 0;; ++block) {
                const QByteArray got
                    = device.upload(alt, address + block * m_device.transferSize, size);
                if (got.isNull()) {
                    outcome.error = "cannot upload data";
                    return outcome;
                }
                back += got;
                if (quint32(got.size()) < size || quint64(back.size()) > length)
                    break;
            }
            if (quint64(back.size()) < length) {
                outcome.error
                    = QString("invalid size, got %1, expected %2").arg(back.size()).arg(length);
                return outcome;
            }
            for (int i = 0; i < element.data.size(); ++i) {
                if (back.at(i) != element.data.at(i)) {
                    outcome.error = QString("verify failed: got 0x%1, expected 0x%2 @ %3")
                                        .arg(quint8(back.at(i)), 2, 16, QChar('0'))
                                        .arg(quint8(element.data.at(i)), 2, 16, QChar('0'))
                                        .arg(hex4(quint64(i)));
                    return outcome;
                }
            }
        }
    }
    return outcome;
}

QByteArray FwupdModel::read(const FwupdOutcome &outcome, int alternate, quint64 address,
                            quint64 size) const
{
    // Bytes in no region read as the old contents, which an element there cannot have got.
    QByteArray bytes(int(size), m_device.oldByte);
    const MemoryLayout &layout = m_device.layouts[size_t(alternate)];
    for (size_t r = 0; r < layout.regions.size(); ++r) {
        const quint64 base = layout.regions[r].base;
        const quint64 start = std::max(address, base);
        const quint64 end = std::min(address + size, base + layout.regions[r].size());
        if (start < end)
            bytes.replace(
                int(start - address), int(end - start),
                outcome.memory[size_t(alternate)][r].mid(int(start - base), int(end - start)));
    }
    return bytes;
}
