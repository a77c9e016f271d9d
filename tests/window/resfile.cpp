// Reads Windows resources from a .res file or from an executable's resource section.
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

bool ResFile::fail(const QString &why)
{
    lastError = why;
    return false;
}

bool ResFile::readExecutable(const QByteArray &bytes)
{
    all.clear();
    lastError.clear();
    if (bytes.size() < 64 || !bytes.startsWith("MZ"))
        return fail("no MZ header");
    const quint32 pe = dword(bytes, 60);
    if (pe > quint32(bytes.size()) - 24 || bytes.mid(int(pe), 4) != QByteArray("PE\0\0", 4))
        return fail("no PE signature");
    peMachine = word(bytes, int(pe) + 4);
    const int sections = word(bytes, int(pe) + 6);
    const int optional = int(pe) + 24;
    const int optionalSize = word(bytes, int(pe) + 20);
    const quint16 magic = word(bytes, optional);
    // The data directories start later in the 64-bit optional header.
    const int directories = optional + (magic == 0x20b ? 112 : 96);
    if ((magic != 0x10b && magic != 0x20b) || directories + 3 * 8 > optional + optionalSize
        || optional + optionalSize + 40 * sections > bytes.size())
        return fail("malformed optional header");
    peSubsystem = word(bytes, optional + 68);
    const quint32 rsrcRva = dword(bytes, directories + 2 * 8);
    for (int i = 0; i < sections; ++i) {
        const int header = optional + optionalSize + 40 * i;
        const quint32 rva = dword(bytes, header + 12);
        const quint32 rawSize = dword(bytes, header + 16);
        const quint32 raw = dword(bytes, header + 20);
        if (rsrcRva < rva || rsrcRva - rva >= rawSize)
            continue;
        if (raw > quint32(bytes.size()) || rawSize > quint32(bytes.size()) - raw)
            return fail("resource section runs past the end");
        const QByteArray rsrc = bytes.mid(int(raw + rsrcRva - rva), int(rawSize - (rsrcRva - rva)));
        return readDirectory(rsrc, rsrcRva, 0, 0, Entry());
    }
    return fail("no resource section");
}

// Three levels of directories: type, name, language; data entries below the last.
bool ResFile::readDirectory(const QByteArray &rsrc, quint32 rva, int offset, int level, Entry entry)
{
    if (offset < 0 || offset + 16 > rsrc.size())
        return fail(QString("directory at %1 runs past the section").arg(offset));
    const int count = word(rsrc, offset + 12) + word(rsrc, offset + 14);
    for (int i = 0; i < count; ++i) {
        const int at = offset + 16 + 8 * i;
        if (at + 8 > rsrc.size())
            return fail(QString("directory entry at %1 runs past the section").arg(at));
        const quint32 id = dword(rsrc, at);
        const quint32 target = dword(rsrc, at + 4);
        QString name = "#" + QString::number(id & 0xFFFF);
        if (id & 0x80000000) {
            const int string = int(id & 0x7FFFFFFF);
            if (string + 2 > rsrc.size() || string + 2 + 2 * word(rsrc, string) > rsrc.size())
                return fail(QString("name at %1 runs past the section").arg(string));
            name = QString::fromUtf16(
                reinterpret_cast<const char16_t *>(rsrc.constData() + string + 2),
                word(rsrc, string));
        }
        if (level == 0)
            entry.type = name;
        else if (level == 1)
            entry.name = name;
        else
            entry.language = quint16(id);
        if (target & 0x80000000) {
            if (level == 2 || !readDirectory(rsrc, rva, int(target & 0x7FFFFFFF), level + 1, entry))
                return lastError.isEmpty() ? fail("directory nested too deep") : false;
            continue;
        }
        if (level != 2 || int(target) + 16 > rsrc.size())
            return fail(QString("data entry at %1 out of place").arg(target));
        const quint32 dataRva = dword(rsrc, int(target));
        const quint32 size = dword(rsrc, int(target) + 4);
        if (dataRva < rva || dataRva - rva > quint32(rsrc.size())
            || size > quint32(rsrc.size()) - (dataRva - rva))
            return fail(QString("data at %1 runs past the section").arg(dataRva));
        entry.data = rsrc.mid(int(dataRva - rva), int(size));
        all.append(entry);
    }
    return true;
}
