// The memory a firmware file needs.
#include "devsim/dfufilelayout.h"

#include "dfuse/dfusebytes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

using DfuSeFormat::le16;
using DfuSeFormat::le32;

constexpr size_t SuffixSize = DfuSeFormat::SuffixSize;
constexpr size_t PrefixSize = DfuSeFormat::PrefixSize;
constexpr size_t TargetHeaderSize = DfuSeFormat::TargetHeaderSize;
constexpr size_t ElementHeaderSize = DfuSeFormat::ElementHeaderSize;

struct Span
{
    uint64_t start;
    uint64_t end;
};

} // namespace

bool DfuFileLayout::read(const std::vector<uint8_t> &file, std::string *error)
{
    if (file.size() < SuffixSize
        || std::memcmp(&file[file.size() - 8], DfuSeFormat::SuffixSignature, 3) != 0) {
        *error = "not a DFU file: no DFU suffix";
        return false;
    }
    const uint8_t *suffix = &file[file.size() - SuffixSize];
    product = le16(suffix + 2);
    vendor = le16(suffix + 4);
    const size_t end = file.size() - SuffixSize;
    if (end < 5 || std::memcmp(file.data(), DfuSeFormat::PrefixSignature, 5) != 0) {
        plain = true;
        imageSize = end;
        return true;
    }
    if (end < PrefixSize) {
        *error = "DfuSe file too short";
        return false;
    }

    // Walked by counts and element sizes only, as dfu-util does.
    std::map<unsigned, std::vector<Span>> spans;
    size_t pos = PrefixSize;
    const unsigned targets = file[10];
    for (unsigned t = 0; t < targets; ++t) {
        if (end - pos < TargetHeaderSize) {
            *error = "DfuSe file ends inside target " + std::to_string(t);
            return false;
        }
        const unsigned alternate = file[pos + 6];
        const uint32_t elements = le32(&file[pos + 270]);
        pos += TargetHeaderSize;
        std::vector<Span> &alternateSpans = spans[alternate];
        for (uint32_t e = 0; e < elements; ++e) {
            if (end - pos < ElementHeaderSize
                || end - pos - ElementHeaderSize < le32(&file[pos + 4])) {
                *error = "DfuSe file ends inside an element of target " + std::to_string(t);
                return false;
            }
            const uint64_t address = le32(&file[pos]);
            const uint64_t size = le32(&file[pos + 4]);
            pos += ElementHeaderSize + size;
            if (size == 0)
                continue;
            alternateSpans.push_back({address / SectorSize * SectorSize,
                                      (address + size + SectorSize - 1) / SectorSize * SectorSize});
        }
    }
    if (spans.empty()) {
        *error = "DfuSe file has no targets";
        return false;
    }

    alternates.clear();
    for (unsigned alternate = 0; alternate <= spans.rbegin()->first; ++alternate) {
        std::vector<Span> &list = spans[alternate];
        std::sort(list.begin(), list.end(),
                  [](const Span &a, const Span &b) { return a.start < b.start; });
        std::vector<Span> merged;
        for (const Span &span : list) {
            if (!merged.empty() && span.start <= merged.back().end)
                merged.back().end = std::max(merged.back().end, span.end);
            else
                merged.push_back(span);
        }
        char buffer[64];
        std::string layout = "@Alternate " + std::to_string(alternate) + " ";
        for (const Span &span : merged) {
            std::snprintf(buffer, sizeof buffer, "/0x%08llX/%llu*002Kg",
                          static_cast<unsigned long long>(span.start),
                          static_cast<unsigned long long>((span.end - span.start) / SectorSize));
            layout += buffer;
        }
        // An alternate setting the file leaves alone still needs some memory to be listed.
        if (merged.empty())
            layout += "/0x00000000/01*256 a";
        alternates.push_back(layout);
    }
    return true;
}
