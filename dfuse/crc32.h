// The standard reflected CRC-32, kept here so the tool needs no compression library.
#ifndef CRC32_H
#define CRC32_H

#include <QtGlobal>

class Crc32
{
public:
    void update(const char *data, qint64 size);
    // The usual CRC-32 of everything given so far (zlib's crc32 gives the same).
    quint32 value() const { return ~reg; }

    static quint32 of(const char *data, qint64 size);

private:
    quint32 reg = 0xFFFFFFFFu;
};

#endif // CRC32_H
