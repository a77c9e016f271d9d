// DfuSe memory layout strings: "@Name/0xADDRESS/COUNT*SIZE[ BKM]LETTER,..." with one or more
// address groups, each a run of sectors starting at its address.
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

struct RegionLayout
{
    uint32_t base = 0;
    std::vector<SectorRun> runs;

    uint64_t size() const;
};

class MemoryLayout
{
public:
    // The bits of a sector letter, 'a' to 'g'.
    enum Attribute : uint8_t { Readable = 1, Erasable = 2, Writable = 4 };

    static std::optional<MemoryLayout> parse(const std::string &text, std::string *error);

    std::string text; // as parsed, the interface string the device shows
    std::string name;
    std::vector<RegionLayout> regions;
};

#endif // MEMORYLAYOUT_H
