// The contents of one region of device memory and its sector map.
#ifndef MEMORYREGION_H
#define MEMORYREGION_H

#include "dfuse/memorylayout.h"

#include <cstdint>
#include <vector>

class MemoryRegion
{
public:
    using Sector = MemorySector;

    // Filled with fill: 0xFF is erased flash, anything else old firmware.
    explicit MemoryRegion(const RegionLayout &layout, uint8_t fill = 0xFF);

    uint32_t base() const { return m_layout.base; }
    uint64_t size() const { return m_bytes.size(); }
    bool contains(uint64_t address) const;
    // The sector that holds address, which must be inside the region.
    Sector sectorAt(uint64_t address) const;
    // Whether every sector that [address, address + length) touches has the attribute bits.
    bool allowed(uint64_t address, uint64_t length, uint8_t attributes) const;

    std::vector<uint8_t> &bytes() { return m_bytes; }
    const std::vector<uint8_t> &bytes() const { return m_bytes; }

private:
    RegionLayout m_layout;
    std::vector<uint8_t> m_bytes;
};

#endif // MEMORYREGION_H
