// The standard reflected CRC-32, polynomial 0xEDB88320.
#include "dfuse/crc32.h"

#include <array>

namespace {

std::array<quint32, 256> makeTable()
{
    std::array<quint32, 256> table {};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

} // namespace

void Crc32::update(const char *data, qint64 size)
{
    static const std::array<quint32, 256> table = makeTable();
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    for (qint64 i = 0; i < size; ++i)
        reg = table[(reg ^ bytes[i]) & 0xFFu] ^ (reg >> 8);
}

quint32 Crc32::of(const char *data, qint64 size)
{
    Crc32 crc;
    crc.update(data, size);
    return crc.value();
}
