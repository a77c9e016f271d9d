// Sizes and fixed values of the DfuSe byte layout, shared by the reader and the writer.
#ifndef DFUSEFORMAT_H
#define DFUSEFORMAT_H

#include <QString>

namespace DfuSeFormat {

constexpr qint64 PrefixSize = 11;
constexpr qint64 TargetHeaderSize = 274;
constexpr qint64 TargetNameSize = 255;
constexpr qint64 ElementHeaderSize = 8;
constexpr qint64 SuffixSize = 16;
constexpr quint8 Version = 1;
constexpr quint16 DfuVersion = 0x011A;
// A plain DFU file is the raw image and the suffix, whose bcdDFU is one of these.
constexpr quint16 PlainDfuVersion = 0x0110;
constexpr quint16 PlainDfu10Version = 0x0100;
constexpr char PrefixSignature[] = "DfuSe";
constexpr char TargetSignature[] = "Target";
constexpr char SuffixSignature[] = "UFD";

inline QString hex32(quint32 value)
{
    return "0x" + QString::number(value, 16).toUpper().rightJustified(8, QChar('0'));
}

} // namespace DfuSeFormat

#endif // DFUSEFORMAT_H
