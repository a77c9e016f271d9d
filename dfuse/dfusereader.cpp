// Reads and checks DfuSe files. All offsets are qint64 and every size is compared against
// what is left, never added to a position first, so no claimed size can overflow.
#include "dfuse/dfusereader.h"

#include "dfuse/crc32.h"
#include "dfuse/dfuseformat.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

using namespace DfuSeFormat;

namespace {

const unsigned char *at(const QByteArray &bytes, qint64 offset)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData()) + offset;
}

quint32 le32(const QByteArray &bytes, qint64 offset)
{
    return DfuSeFormat::le32(at(bytes, offset));
}

quint16 le16(const QByteArray &bytes, qint64 offset)
{
    return DfuSeFormat::le16(at(bytes, offset));
}

bool hasBytes(const QByteArray &bytes, qint64 at, const char *text)
{
    return std::memcmp(bytes.constData() + at, text, std::strlen(text)) == 0;
}

} // namespace

bool DfuSeReader::readFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return fail(-1, "the file does not exist");
    if (!info.isFile())
        return fail(-1, "it is not a regular file");
    if (info.size() > MaximumFileSize)
        return fail(-1,
                    QString("it is %1 bytes long, far larger than any firmware").arg(info.size()));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(-1, "it cannot be read (" + file.errorString() + ")");
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(-1, "it cannot be read (" + file.errorString() + ")");
    return read(bytes);
}

bool DfuSeReader::read(const QByteArray &bytes)
{
    parsed = DfuSeFile();
    raw = bytes;
    elementOffsets.clear();
    sizeNotes.clear();
    error.clear();
    offset = -1;

    const qint64 size = bytes.size();
    kindKnown = size < SuffixSize || hasBytes(bytes, 0, PrefixSignature)
        || hasBytes(bytes, size - SuffixSize + 8, SuffixSignature);
    if (!kindKnown)
        return fail(size - SuffixSize + 8,
                    "it starts without \"DfuSe\" and ends without the DFU suffix's \"UFD\" "
                    "signature");
    // Without the DfuSe prefix, a suffix that does not say DfuSe makes a plain DFU file.
    if (size >= SuffixSize && !hasBytes(bytes, 0, PrefixSignature)
        && le16(bytes, size - SuffixSize + 6) != DfuVersion) {
        parsed.kind = DfuSeFile::Plain;
        return readPlain(bytes);
    }
    if (size < PrefixSize + SuffixSize)
        return fail(size,
                    QString("the file ends after %1 bytes, too short for a DfuSe prefix and "
                            "suffix")
                        .arg(size));
    if (!hasBytes(bytes, 0, PrefixSignature))
        return fail(0, "the file does not start with the \"DfuSe\" signature");
    if (quint8(bytes.at(5)) != Version)
        return fail(5, QString("the format version is %1, not 1").arg(quint8(bytes.at(5))));

    const qint64 imageEnd = size - SuffixSize;
    if (!readSuffix(bytes))
        return false;

    if (!readTargets(bytes, quint8(bytes.at(10)), imageEnd) || !checkOverlaps())
        return false;
    if (parsed.dataSize() == 0)
        return fail(10, "the file holds no firmware bytes");
    // Files in the wild count the suffix in, or one byte less; dfu-util ignores the field too.
    if (le32(bytes, 6) != imageEnd)
        noteSize("the image size field", le32(bytes, 6), "the prefix and targets take", imageEnd);
    return true;
}

// Targets and elements are walked by their counts and element sizes, as dfu-util does; the
// target size fields only get a note when they disagree.
bool DfuSeReader::readTargets(const QByteArray &bytes, int targetCount, qint64 imageEnd)
{
    qint64 pos = PrefixSize;
    for (int t = 0; t < targetCount; ++t) {
        if (imageEnd - pos < TargetHeaderSize)
            return fail(
                pos,
                QString("target %1 of %2 does not fit in the image").arg(t + 1).arg(targetCount));
        if (!hasBytes(bytes, pos, TargetSignature))
            return fail(pos, QString("target %1 has no \"Target\" signature").arg(t + 1));

        DfuSeTarget target;
        target.alternateSetting = quint8(bytes.at(pos + 6));
        target.named = le32(bytes, pos + 7) != 0;
        const QByteArray name = bytes.mid(pos + 11, TargetNameSize);
        target.name = name.left(name.indexOf('\0') < 0 ? name.size() : name.indexOf('\0'));
        const quint32 targetSize = le32(bytes, pos + 266);
        const quint32 elementCount = le32(bytes, pos + 270);
        pos += TargetHeaderSize;
        const qint64 targetStart = pos;

        // Every element takes at least its header, so a huge count fails at the image's end.
        for (quint32 e = 0; e < elementCount; ++e) {
            if (imageEnd - pos < ElementHeaderSize)
                return fail(pos,
                            QString("element %1 of target %2 does not fit before the suffix")
                                .arg(e + 1)
                                .arg(t + 1));
            DfuSeElement element;
            element.address = le32(bytes, pos);
            const qint64 dataSize = le32(bytes, pos + 4);
            const qint64 headerOffset = pos;
            pos += ElementHeaderSize;
            if (dataSize > imageEnd - pos)
                return fail(headerOffset + 4,
                            QString("element %1 of target %2 claims %3 bytes but "
                                    "only %4 stand before the suffix")
                                .arg(e + 1)
                                .arg(t + 1)
                                .arg(dataSize)
                                .arg(imageEnd - pos));
            if (dataSize > Q_INT64_C(0x100000000) - element.address)
                return fail(headerOffset,
                            QString("element %1 of target %2 at %3 runs past the end of "
                                    "the 32-bit address space")
                                .arg(e + 1)
                                .arg(t + 1)
                                .arg(hex32(element.address)));
            element.data = bytes.mid(pos, dataSize);
            pos += dataSize;
            target.elements.append(element);
            elementOffsets.append(headerOffset);
        }
        if (targetSize != pos - targetStart)
            noteSize(QString("the size field of target %1").arg(t + 1), targetSize,
                     "its elements take", pos - targetStart);
        parsed.targets.append(target);
    }
    if (pos != imageEnd)
        return fail(pos,
                    QString("the image goes on for %1 more byte%2 after the last element")
                        .arg(imageEnd - pos)
                        .arg(imageEnd - pos == 1 ? "" : "s"));
    return true;
}

bool DfuSeReader::checkOverlaps()
{
    // Overlapping elements written through one alternate setting would leave the device
    // holding whichever came last, which no file means on purpose.
    struct Range
    {
        int alternate;
        qint64 begin;
        qint64 end;
        int index;
    };
    QVector<Range> ranges;
    int index = 0;
    for (const DfuSeTarget &target : parsed.targets) {
        for (const DfuSeElement &element : target.elements) {
            if (!element.data.isEmpty())
                ranges.append({target.alternateSetting, element.address,
                               element.address + qint64(element.data.size()), index});
            ++index;
        }
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) {
        return a.alternate != b.alternate ? a.alternate < b.alternate : a.begin < b.begin;
    });
    // The range reaching furthest so far within one alternate setting.
    int reach = 0;
    for (int i = 1; i < ranges.size(); ++i) {
        const Range &b = ranges.at(i);
        if (ranges.at(reach).alternate != b.alternate) {
            reach = i;
            continue;
        }
        const Range &a = ranges.at(reach);
        if (b.begin < a.end) {
            const Range &later = a.index > b.index ? a : b;
            const Range &earlier = a.index > b.index ? b : a;
            return fail(elementOffsets.at(later.index),
                        QString("the element at %1 overlaps the one at %2 (alternate setting %3)")
                            .arg(hex32(quint32(later.begin)), hex32(quint32(earlier.begin)))
                            .arg(later.alternate));
        }
        if (b.end > a.end)
            reach = i;
    }
    return true;
}

void DfuSeReader::noteSize(const QString &field, qint64 claimed, const QString &found,
                           qint64 actual)
{
    sizeNotes << QString("Note: %1 claims %2 bytes but %3 %4; the element sizes are used")
                     .arg(field)
                     .arg(claimed)
                     .arg(found)
                     .arg(actual);
}

// The image is everything before the suffix, flashed from the start of alternate setting 0.
bool DfuSeReader::readPlain(const QByteArray &bytes)
{
    if (!readSuffix(bytes))
        return false;
    DfuSeElement element;
    element.data = bytes.left(bytes.size() - SuffixSize);
    if (element.data.isEmpty())
        return fail(0, "the file holds no firmware bytes, only the DFU suffix");
    DfuSeTarget target;
    target.elements.append(element);
    parsed.targets.append(target);
    return true;
}

bool DfuSeReader::readSuffix(const QByteArray &bytes)
{
    const qint64 suffix = bytes.size() - SuffixSize;
    if (!hasBytes(bytes, suffix + 8, SuffixSignature))
        return fail(suffix + 8, "the DFU suffix has no \"UFD\" signature");
    if (quint8(bytes.at(suffix + 11)) != SuffixSize)
        return fail(
            suffix + 11,
            QString("the DFU suffix length is %1, not 16").arg(quint8(bytes.at(suffix + 11))));
    const quint16 version = le16(bytes, suffix + 6);
    const QString versionText = QString("0x%1").arg(version, 4, 16, QChar('0'));
    if (parsed.kind == DfuSeFile::DfuSe && version != DfuVersion)
        return fail(suffix + 6,
                    QString("the DFU version is %1, not 0x011A for DfuSe").arg(versionText));
    if (parsed.kind == DfuSeFile::Plain && version != PlainDfuVersion
        && version != PlainDfu10Version)
        return fail(suffix + 6,
                    QString("the DFU version is %1, not 0x0100 or 0x0110 for a plain DFU file "
                            "(one without the \"DfuSe\" prefix)")
                        .arg(versionText));
    const quint32 stored = le32(bytes, suffix + 12);
    const quint32 computed = ~Crc32::of(bytes.constData(), bytes.size() - 4);
    if (stored != computed)
        return fail(suffix + 12,
                    QString("the CRC is %1 but the file's bytes give %2: the file is "
                            "damaged")
                        .arg(hex32(stored), hex32(computed)));

    parsed.deviceVersion = le16(bytes, suffix);
    parsed.productId = le16(bytes, suffix + 2);
    parsed.vendorId = le16(bytes, suffix + 4);
    return true;
}

bool DfuSeReader::fail(qint64 at, const QString &what)
{
    error = what;
    offset = at;
    return false;
}
