// The contents of one region of device memory and its sector map.
#include "devsim/memoryregion.h"

MemoryRegion::MemoryRegion(const RegionLayout &layout, uint8_t fill)
    : m_layout(layout)
    , m_bytes(layout.size(), fill)
{ }

bool MemoryRegion::contains(uint64_t address) const
{
    return address >= m_layout.base && address - m_layout.base < m_bytes.size();
}

MemoryRegion::Sector MemoryRegion::sectorAt(uint64_t address) const
{
    return m_layout.sectorAt(address).value_or(Sector());
}

bool MemoryRegion::allowed(uint64_t address, uint64_t length, uint8_t attributes) const
{
    if (length == 0 || !contains(address) || !contains(address + length - 1))
        return false;
    for (uint64_t at = address; at < address + length;) {
        const Sector sector = sectorAt(at);
        if ((sector.attributes & attributes) != attributes)
            return false;
        at = sector.start + sector.size;
    }
    return true;
}
