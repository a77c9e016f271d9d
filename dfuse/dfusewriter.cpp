// Lays out a DfuSe file.
#include "dfuse/dfusewriter.h"

#include "dfuse/crc32.h"
#include "dfuse/dfuseformat.h"

#include <QtEndian>

using namespace DfuSeFormat;

namespace {

void put8(QByteArray &out, quint8 value)
{
    out.append(char(value));
}

void put16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void put32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

void putSuffix(QByteArray &out, const DfuSeFile &file, quint16 dfuVersion)
{
    put16(out, file.deviceVersion);
    put16(out, file.productId);
    put16(out, file.vendorId);
    put16(out, dfuVersion);
    out.append(SuffixSignature);
    put8(out, quint8(SuffixSize));
    put32(out, ~Crc32::of(out.constData(), out.size()));
}

} // namespace

QByteArray DfuSeWriter::write(const DfuSeFile &file)
{
    QByteArray out(PrefixSignature);
    put8(out, Version);
    const int imageSizeOffset = out.size();
    put32(out, 0);
    put8(out, quint8(file.targets.size()));

    for (const DfuSeTarget &target : file.targets) {
        out.append(TargetSignature);
        put8(out, target.alternateSetting);
        put32(out, target.named ? 1 : 0);
        QByteArray name = target.name.left(TargetNameSize);
        name.append(QByteArray(TargetNameSize - name.size(), '\0'));
        out.append(name);
        quint32 targetSize = 0;
        for (const DfuSeElement &element : target.elements)
            targetSize += quint32(ElementHeaderSize + element.data.size());
        put32(out, targetSize);
        put32(out, quint32(target.elements.size()));
        for (const DfuSeElement &element : target.elements) {
            put32(out, element.address);
            put32(out, quint32(element.data.size()));
            out.append(element.data);
        }
    }
    qToLittleEndian(quint32(out.size()), out.data() + imageSizeOffset);
    putSuffix(out, file, DfuVersion);
    return out;
}

QByteArray DfuSeWriter::writePlain(const DfuSeFile &file)
{
    QByteArray out;
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &element : target.elements)
            out.append(element.data);
    }
    putSuffix(out, file, PlainDfuVersion);
    return out;
}
