// Reads a DfuSe or plain DFU file and checks every signature, the CRC and, for DfuSe, that its
// elements end exactly at the suffix before anything uses it.
#ifndef DFUSEREADER_H
#define DFUSEREADER_H

#include "dfuse/dfusefile.h"

#include <QString>
#include <QStringList>

class DfuSeReader
{
public:
    // Files above this cannot be firmware for any device and are not loaded into memory.
    static constexpr qint64 MaximumFileSize = Q_INT64_C(1) << 30;

    bool readFile(const QString &path);
    bool read(const QByteArray &bytes);

    const DfuSeFile &file() const { return parsed; }
    // The bytes checked, as read.
    const QByteArray &bytes() const { return raw; }
    // Size fields that disagree with the elements: harmless, as the elements' sizes count.
    const QStringList &notes() const { return sizeNotes; }
    // What is wrong, as a sentence fragment; errorOffset() is -1 when no offset applies.
    QString errorString() const { return error; }
    qint64 errorOffset() const { return offset; }
    bool hasFormatError() const { return offset >= 0; }
    // False for a file with neither the DfuSe prefix nor a DFU suffix.
    bool isDfuFile() const { return kindKnown; }

private:
    bool fail(qint64 at, const QString &what);
    bool readPlain(const QByteArray &bytes);
    bool readSuffix(const QByteArray &bytes);
    bool readTargets(const QByteArray &bytes, int targetCount, qint64 imageEnd);
    bool checkOverlaps();
    void noteSize(const QString &field, qint64 claimed, const QString &found, qint64 actual);

    DfuSeFile parsed;
    QByteArray raw;
    QStringList sizeNotes;
    QVector<qint64> elementOffsets;
    QString error;
    qint64 offset = -1;
    bool kindKnown = true;
};

#endif // DFUSEREADER_H
