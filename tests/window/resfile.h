// Reads Windows resources: the entries a resource compiler wrote to a .res file, or those linked
// into an executable, with the executable's machine type and subsystem.
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
    bool readExecutable(const QByteArray &bytes);
    QString error() const { return lastError; }
    quint16 machine() const { return peMachine; }
    quint16 subsystem() const { return peSubsystem; }

    QList<Entry> ofType(const QString &type) const;
    QList<Entry> find(const QString &type, const QString &name) const;

    // Little-endian readers for the structures inside the entries.
    static quint16 word(const QByteArray &bytes, int pos);
    static quint32 dword(const QByteArray &bytes, int pos);
    static int alignedTo4(int pos) { return (pos + 3) & ~3; }

private:
    bool readId(const QByteArray &bytes, int &pos, int end, QString &id);
    bool readDirectory(const QByteArray &rsrc, quint32 rva, int offset, int level, Entry entry);
    bool fail(const QString &why);

    QList<Entry> all;
    quint16 peMachine = 0;
    quint16 peSubsystem = 0;
    QString lastError;
};

#endif // RESFILE_H
