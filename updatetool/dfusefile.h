// A DfuSe firmware file as data: targets, their elements and the suffix's ids.
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
    // 0xFFFF in an id means "any".
    quint16 deviceVersion = 0xFFFF;
    quint16 productId = 0xFFFF;
    quint16 vendorId = 0xFFFF;
    QVector<DfuSeTarget> targets;

    qint64 dataSize() const;
    int elementCount() const;
};

#endif // DFUSEFILE_H
