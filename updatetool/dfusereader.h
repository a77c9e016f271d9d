// Reads a DfuSe or plain DFU file and checks every size, signature and the CRC before anything uses
// it.
#ifndef DFUSEREADER_H
#define DFUSEREADER_H

#include "updatetool/dfusefile.h"

#include <QString>

class DfuSeReader
{
public:
    // Files above this cannot be firmware for any device and are not loaded into memory.
    static constexpr qint64 MaximumFileSize = Q_INT64_C(1) << 30;

    bool readFile(const QString &path);
    bool read(const QByteArray &bytes);

    const DfuSeFile &file() const { return parsed; }
    // What is wrong, as a sentence fragment; errorOffset() is -1 when no offset applies.
    QString errorString() const { return error; }
    qint64 errorOffset() const { return offset; }
    bool hasFormatError() const { return offset >= 0; }

private:
    bool fail(qint64 at, const QString &what);
    bool readPlain(const QByteArray &bytes);
    bool readSuffix(const QByteArray &bytes);
    bool readTargets(const QByteArray &bytes, int targetCount, qint64 imageEnd);
    bool checkOverlaps();

    DfuSeFile parsed;
    QVector<qint64> elementOffsets;
    QString error;
    qint64 offset = -1;
};

#endif // DFUSEREADER_H
