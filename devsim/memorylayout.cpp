// DfuSe memory layout strings.
#include "devsim/memorylayout.h"

#include <algorithm>
#include <cctype>

namespace {

// Bounds the RAM a layout can claim, since every region is held in memory whole.
constexpr uint64_t MaximumTotalSize = 512ull << 20;

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
    uint64_t total = 0;
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
        total += region.size();
        if (uint64_t(region.base) + region.size() > 0x100000000ull)
            return fail("a region runs past 4 GiB");
        if (total > MaximumTotalSize)
            return fail("more than 512 MiB of memory");
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
