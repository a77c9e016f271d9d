// Reads a compiled Windows resource file (.res): the entries a resource compiler wrote.
#ifndef RESFILE_H
#define RESFILE_H

#include <QByteArray>
#include <QList>
#include <QString>

class ResFile
{
public:
    // Types and names given by number read as "#<number>", the way Windows spells them.
    struct Entry
    {
        QString type;
        QString name;
        quint16 language = 0;
        QByteArray data;
    };

    // False, with an explanation in error(), when the bytes are not a well-formed .res.
    bool read(const QByteArray &bytes);
    QString error() const { return lastError; }

    QList<Entry> ofType(const QString &type) const;
    QList<Entry> find(const QString &type, const QString &name) const;

    // Little-endian readers for the structures inside the entries.
    static quint16 word(const QByteArray &bytes, int pos);
    static quint32 dword(const QByteArray &bytes, int pos);
    static int alignedTo4(int pos) { return (pos + 3) & ~3; }

private:
    bool readId(const QByteArray &bytes, int &pos, int end, QString &id);

    QList<Entry> all;
    QString lastError;
};

#endif // RESFILE_H
