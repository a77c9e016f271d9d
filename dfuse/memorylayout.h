// A DfuSe device's memory as its layout string describes it:
// "@Name/0xADDRESS/COUNT*SIZE[ BKM]LETTER,..." with one or more address groups, each a run of
// sectors starting at its address, and what each sector may do.
#ifndef MEMORYLAYOUT_H
#define MEMORYLAYOUT_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct SectorRun
{
    uint32_t count = 0;
    uint32_t size = 0;
    uint8_t attributes = 0;
};

struct MemorySector
{
    uint64_t start = 0;
    uint32_t size = 0;
    uint8_t attributes = 0;

    uint64_t end() const { return start + size; }
    // Whether the sector has every one of the attribute bits.
    bool has(uint8_t bits) const { return (attributes & bits) == bits; }
};

struct RegionLayout
{
    uint32_t base = 0;
    std::vector<SectorRun> runs;

    uint64_t size() const;
    std::optional<MemorySector> sectorAt(uint64_t address) const;
};

// [start, end): the bytes from start up to, not including, end.
struct MemoryRange
{
    uint64_t start = 0;
    uint64_t end = 0;

    uint64_t size() const { return end - start; }
    bool operator==(const MemoryRange &other) const
    {
        return start == other.start && end == other.end;
    }
};

class MemoryLayout
{
public:
    // The bits of a sector letter, 'a' to 'g'.
    enum Attribute : uint8_t { Readable = 1, Erasable = 2, Writable = 4 };

    static std::optional<MemoryLayout> parse(const std::string &text, std::string *error);

    uint64_t totalSize() const;
    // Where the device starts after a reset: the base of its first region.
    uint32_t base() const { return regions.empty() ? 0 : regions.front().base; }
    // The sector holding address, if a region has one there.
    std::optional<MemorySector> sectorAt(uint64_t address) const;
    // Every sector that [address, address + length) touches, in address order; bytes in no
    // region touch none.
    std::vector<MemorySector> sectorsIn(uint64_t address, uint64_t length) const;
    // The parts of [address, address + length) in sectors that have all the attribute bits,
    // and those that lack some or lie in no region, each in address order, touching ones joined.
    std::vector<MemoryRange> rangesWith(uint64_t address, uint64_t length, uint8_t bits) const;
    std::vector<MemoryRange> rangesWithout(uint64_t address, uint64_t length, uint8_t bits) const;
    std::vector<MemoryRange> readableRanges(uint64_t address, uint64_t length) const
    {
        return rangesWith(address, length, Readable);
    }
    std::vector<MemoryRange> unreadableRanges(uint64_t address, uint64_t length) const
    {
        return rangesWithout(address, length, Readable);
    }

    std::string text; // as parsed, the interface string the device shows
    std::string name;
    std::vector<RegionLayout> regions;

private:
    std::vector<MemoryRange> split(uint64_t address, uint64_t length, uint8_t bits,
                                   bool with) const;
};

#endif // MEMORYLAYOUT_H
