// Sizes, signatures and little-endian fields of the DfuSe byte layout. Free of Qt, because
// brindleflash-devsim reads firmware files with it too.
#ifndef DFUSEBYTES_H
#define DFUSEBYTES_H

#include <cstdint>

namespace DfuSeFormat {

constexpr std::int64_t PrefixSize = 11;
constexpr std::int64_t TargetHeaderSize = 274;
constexpr std::int64_t TargetNameSize = 255;
constexpr std::int64_t ElementHeaderSize = 8;
constexpr std::int64_t SuffixSize = 16;
constexpr std::uint8_t Version = 1;
constexpr std::uint16_t DfuVersion = 0x011A;
// A plain DFU file is the raw image and the suffix, whose bcdDFU is one of these.
constexpr std::uint16_t PlainDfuVersion = 0x0110;
constexpr std::uint16_t PlainDfu10Version = 0x0100;
constexpr char PrefixSignature[] = "DfuSe";
constexpr char TargetSignature[] = "Target";
constexpr char SuffixSignature[] = "UFD";

inline std::uint16_t le16(const unsigned char *p)
{
    return std::uint16_t(p[0] | p[1] << 8);
}

inline std::uint32_t le32(const unsigned char *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
        | std::uint32_t(p[3]) << 24;
}

} // namespace DfuSeFormat

#endif // DFUSEBYTES_H
