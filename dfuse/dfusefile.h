// A DfuSe firmware file as data: targets, their elements and the suffix's ids. A plain DFU
// file is one target for alternate setting 0 with one element, its image, at address 0.
#ifndef DFUSEFILE_H
#define DFUSEFILE_H

#include <QByteArray>
#include <QVector>

struct DfuSeElement
{
    quint32 address = 0;
    QByteArray data;
};

struct DfuSeTarget
{
    quint8 alternateSetting = 0;
    bool named = false;
    QByteArray name;
    QVector<DfuSeElement> elements;
};

class DfuSeFile
{
public:
    enum Kind { DfuSe, Plain };

    Kind kind = DfuSe;
    // 0xFFFF in an id means "any".
    quint16 deviceVersion = 0xFFFF;
    quint16 productId = 0xFFFF;
    quint16 vendorId = 0xFFFF;
    QVector<DfuSeTarget> targets;

    qint64 dataSize() const;
    int elementCount() const;
};

#endif // DFUSEFILE_H
