// Reads a compiled Windows resource file (.res): the entries a resource compiler wrote.
#include "resfile.h"

#include <QtEndian>

quint16 ResFile::word(const QByteArray &bytes, int pos)
{
    return qFromLittleEndian<quint16>(bytes.constData() + pos);
}

quint32 ResFile::dword(const QByteArray &bytes, int pos)
{
    return qFromLittleEndian<quint32>(bytes.constData() + pos);
}

bool ResFile::read(const QByteArray &bytes)
{
    all.clear();
    lastError.clear();
    int pos = 0;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 8) {
            lastError = QString("truncated entry header at %1").arg(pos);
            return false;
        }
        const quint32 dataSize = dword(bytes, pos);
        const quint32 headerSize = dword(bytes, pos + 4);
        if (headerSize < 16 || headerSize > quint32(bytes.size() - pos)
            || dataSize > quint32(bytes.size() - pos) - headerSize) {
            lastError = QString("entry at %1 runs past the end").arg(pos);
            return false;
        }
        const int headerEnd = pos + int(headerSize);
        Entry entry;
        int field = pos + 8;
        if (!readId(bytes, field, headerEnd, entry.type)
            || !readId(bytes, field, headerEnd, entry.name))
            return false;
        // DataVersion, MemoryFlags, LanguageId, Version, Characteristics follow the names.
        field = alignedTo4(field);
        if (headerEnd - field < 16) {
            lastError = QString("entry at %1 has a short header").arg(pos);
            return false;
        }
        entry.language = word(bytes, field + 6);
        entry.data = bytes.mid(headerEnd, int(dataSize));
        // The file opens with an empty entry that only marks it as a 32-bit .res.
        if (!(entry.type == "#0" && entry.name == "#0" && dataSize == 0))
            all.append(entry);
        pos = alignedTo4(headerEnd + int(dataSize));
    }
    return true;
}

QList<ResFile::Entry> ResFile::ofType(const QString &type) const
{
    QList<Entry> found;
    for (const Entry &entry : all) {
        if (entry.type == type)
            found.append(entry);
    }
    return found;
}

QList<ResFile::Entry> ResFile::find(const QString &type, const QString &name) const
{
    QList<Entry> found;
    for (const Entry &entry : ofType(type)) {
        if (entry.name == name)
            found.append(entry);
    }
    return found;
}

bool ResFile::readId(const QByteArray &bytes, int &pos, int end, QString &id)
{
    if (end - pos < 2) {
        lastError = QString("name runs past its header at %1").arg(pos);
        return false;
    }
    if (word(bytes, pos) == 0xFFFF) {
        if (end - pos < 4) {
            lastError = QString("number runs past its header at %1").arg(pos);
            return false;
        }
        id = "#" + QString::number(word(bytes, pos + 2));
        pos += 4;
        return true;
    }
    id.clear();
    for (; pos + 2 <= end; pos += 2) {
        const quint16 unit = word(bytes, pos);
        if (unit == 0) {
            pos += 2;
            return true;
        }
        id += QChar(unit);
    }
    lastError = QString("unterminated name before %1").arg(end);
    return false;
}
