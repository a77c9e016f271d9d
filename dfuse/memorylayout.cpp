// DfuSe memory layout strings and the sectors they describe.
#include "dfuse/memorylayout.h"

#include <algorithm>
#include <cctype>

namespace {

bool readNumber(const std::string &text, size_t *pos, int base, uint64_t *value)
{
    const size_t start = *pos;
    uint64_t number = 0;
    while (*pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[*pos]))) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[*pos])));
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10;
        if (digit >= base)
            break;
        number = number * base + digit;
        if (number > 0xFFFFFFFFull)
            return false;
        ++*pos;
    }
    *value = number;
    return *pos > start;
}

} // namespace

uint64_t RegionLayout::size() const
{
    uint64_t total = 0;
    for (const SectorRun &run : runs)
        total += uint64_t(run.count) * run.size;
    return total;
}

std::optional<MemoryLayout> MemoryLayout::parse(const std::string &text, std::string *error)
{
    auto fail = [&](const std::string &why) {
        *error = "bad memory layout \"" + text + "\": " + why;
        return std::nullopt;
    };
    if (text.empty() || text[0] != '@')
        return fail("it does not start with @");
    const size_t slash = text.find('/');
    if (slash == std::string::npos)
        return fail("it has no /0xADDRESS/ part");

    MemoryLayout layout;
    layout.text = text;
    layout.name = text.substr(1, slash - 1);
    size_t pos = slash;
    while (pos < text.size()) {
        RegionLayout region;
        uint64_t value = 0;
        if (text.compare(pos, 3, "/0x") != 0 && text.compare(pos, 3, "/0X") != 0)
            return fail("expected /0xADDRESS/ at offset " + std::to_string(pos));
        pos += 3;
        if (!readNumber(text, &pos, 16, &value) || pos >= text.size() || text[pos] != '/')
            return fail("bad address at offset " + std::to_string(pos));
        region.base = uint32_t(value);
        ++pos;
        for (;;) {
            SectorRun run;
            if (!readNumber(text, &pos, 10, &value) || value == 0 || pos >= text.size()
                || text[pos] != '*')
                return fail("bad sector count at offset " + std::to_string(pos));
            run.count = uint32_t(value);
            ++pos;
            if (!readNumber(text, &pos, 10, &value) || value == 0 || pos + 1 >= text.size())
                return fail("bad sector size at offset " + std::to_string(pos));
            const char unit = text[pos];
            const uint64_t scale = unit == 'K' ? 1024 : unit == 'M' ? 1024 * 1024 : 1;
            if (unit != ' ' && unit != 'B' && scale == 1)
                return fail("bad size unit '" + std::string(1, unit) + "'");
            if (value * scale > 0xFFFFFFFFull)
                return fail("sector too large");
            run.size = uint32_t(value * scale);
            const char letter = text[pos + 1];
            if (letter < 'a' || letter > 'g')
                return fail("bad sector letter '" + std::string(1, letter) + "'");
            run.attributes = uint8_t(letter - 'a' + 1);
            pos += 2;
            region.runs.push_back(run);
            if (pos < text.size() && text[pos] == ',') {
                ++pos;
                continue;
            }
            break;
        }
        if (uint64_t(region.base) + region.size() > 0x100000000ull)
            return fail("a region runs past 4 GiB");
        layout.regions.push_back(region);
    }
    if (layout.regions.empty())
        return fail("it has no /0xADDRESS/ part");

    std::vector<RegionLayout> sorted = layout.regions;
    std::sort(sorted.begin(), sorted.end(),
              [](const RegionLayout &a, const RegionLayout &b) { return a.base < b.base; });
    for (size_t i = 1; i < sorted.size(); ++i) {
        if (uint64_t(sorted[i - 1].base) + sorted[i - 1].size() > sorted[i].base)
            return fail("regions overlap");
    }
    return layout;
}

uint64_t MemoryLayout::totalSize() const
{
    uint64_t total = 0;
    for (const RegionLayout &region : regions)
        total += region.size();
    return total;
}

std::optional<MemorySector> RegionLayout::sectorAt(uint64_t address) const
{
    uint64_t start = base;
    for (const SectorRun &run : runs) {
        const uint64_t end = start + uint64_t(run.count) * run.size;
        if (address >= start && address < end)
            return MemorySector {start + (address - start) / run.size * run.size, run.size,
                                 run.attributes};
        start = end;
    }
    return std::nullopt;
}

std::optional<MemorySector> MemoryLayout::sectorAt(uint64_t address) const
{
    for (const RegionLayout &region : regions) {
        if (const std::optional<MemorySector> sector = region.sectorAt(address))
            return sector;
    }
    return std::nullopt;
}

std::vector<MemorySector> MemoryLayout::sectorsIn(uint64_t address, uint64_t length) const
{
    std::vector<MemorySector> sectors;
    const uint64_t end = address + length;
    for (const RegionLayout &region : regions) {
        uint64_t start = region.base;
        for (const SectorRun &run : region.runs) {
            const uint64_t runEnd = start + uint64_t(run.count) * run.size;
            const uint64_t from = std::max(start, address);
            for (uint64_t at = start + (from - start) / run.size * run.size;
                 at < std::min(runEnd, end) && from < runEnd; at += run.size)
                sectors.push_back({at, run.size, run.attributes});
            start = runEnd;
        }
    }
    std::sort(sectors.begin(), sectors.end(),
              [](const MemorySector &a, const MemorySector &b) { return a.start < b.start; });
    return sectors;
}

std::vector<MemoryRange> MemoryLayout::rangesWith(uint64_t address, uint64_t length,
                                                  uint8_t bits) const
{
    return split(address, length, bits, true);
}

std::vector<MemoryRange> MemoryLayout::rangesWithout(uint64_t address, uint64_t length,
                                                     uint8_t bits) const
{
    return split(address, length, bits, false);
}

std::vector<MemoryRange> MemoryLayout::split(uint64_t address, uint64_t length, uint8_t bits,
                                             bool with) const
{
    std::vector<MemoryRange> ranges;
    const uint64_t end = address + length;
    const auto add = [&](uint64_t from, uint64_t to) {
        if (from >= to)
            return;
        if (!ranges.empty() && ranges.back().end == from)
            ranges.back().end = to;
        else
            ranges.push_back({from, to});
    };
    uint64_t at = address;
    // Walked run by run rather than sector by sector, as a run can hold millions of sectors.
    while (at < end) {
        uint64_t next = end;
        bool inside = false;
        uint8_t attributes = 0;
        for (const RegionLayout &region : regions) {
            uint64_t start = region.base;
            for (const SectorRun &run : region.runs) {
                const uint64_t runEnd = start + uint64_t(run.count) * run.size;
                if (at >= start && at < runEnd) {
                    inside = true;
                    attributes = run.attributes;
                    next = std::min(next, runEnd);
                } else if (start > at) {
                    next = std::min(next, start);
                }
                start = runEnd;
            }
        }
        if ((inside && (attributes & bits) == bits) == with)
            add(at, next);
        at = next;
    }
    return ranges;
}
