// DFU and DfuSe files laid out by hand, with zlib's CRC, independently of the tool's writer.
#ifndef HANDMADEDFU_H
#define HANDMADEDFU_H

#include <QByteArray>
#include <QList>
#include <QtEndian>

#include <zlib.h>

namespace HandMade {

struct Element
{
    quint32 address;
    QByteArray data;
};

inline void put32(QByteArray &bytes, int at, quint32 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

// The stored CRC is the complement of zlib's over every byte before it.
inline void putCrc(QByteArray &bytes)
{
    const uLong crc
        = crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size() - 4));
    put32(bytes, bytes.size() - 4, ~quint32(crc));
}

// The 16-byte suffix for product 0xDF11, any device version, and its CRC.
inline QByteArray withSuffix(QByteArray image, quint16 bcdDfu, quint16 vendor = 0x0483)
{
    QByteArray suffix
        = QByteArray::fromHex("ffff11df") + "vvbbUFD" + char(16) + QByteArray(4, '\0');
    qToLittleEndian(vendor, suffix.data() + 4);
    qToLittleEndian(bcdDfu, suffix.data() + 6);
    image += suffix;
    putCrc(image);
    return image;
}

// A target of its elements; a name makes it a named one.
inline QByteArray target(quint8 alternate, const QList<Element> &elements,
                         const QByteArray &name = QByteArray())
{
    QByteArray body;
    for (const Element &element : elements) {
        QByteArray header(8, '\0');
        put32(header, 0, element.address);
        put32(header, 4, quint32(element.data.size()));
        body += header + element.data;
    }
    QByteArray bytes = "Target" + QByteArray(268, '\0');
    bytes[6] = char(alternate);
    if (!name.isEmpty()) {
        put32(bytes, 7, 1);
        bytes.replace(11, name.size(), name);
    }
    put32(bytes, 266, quint32(body.size()));
    put32(bytes, 270, quint32(elements.size()));
    return bytes + body;
}

inline QByteArray dfuseFile(const QList<QByteArray> &targets, quint16 vendor = 0x0483)
{
    QByteArray file = "DfuSe" + QByteArray(6, '\0');
    file[5] = 1;
    file[10] = char(targets.size());
    for (const QByteArray &target : targets)
        file += target;
    put32(file, 6, quint32(file.size()));
    return withSuffix(file, 0x011A, vendor);
}

} // namespace HandMade

#endif // HANDMADEDFU_H
