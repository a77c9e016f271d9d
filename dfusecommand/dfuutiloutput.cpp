// dfu-util's progress bar: "\r" + label + "\t[" + 25 bar characters + "] " + "%3d%%" + " %12d
// bytes", followed at the end of a stage by "\n" + label + " done.\n", or by " failed!" when
// the stage fails.
#include "dfusecommand/dfuutiloutput.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

bool stageNamed(const QString &label, DfuUtilOutput::Stage *stage)
{
    if (label == "Erase")
        *stage = DfuUtilOutput::Erase;
    else if (label == "Download")
        *stage = DfuUtilOutput::Download;
    else if (label == "Upload")
        *stage = DfuUtilOutput::Upload;
    else
        return false;
    return true;
}

bool isSeparator(char c)
{
    return c == '\r' || c == '\n';
}

} // namespace

// Each byte is looked at once, whatever the line breaks, and a piece never grows past the cut.
QVector<DfuUtilOutput::Record> DfuUtilOutput::feed(const QByteArray &chunk)
{
    QVector<Record> records;
    const char *const end = chunk.constEnd();
    for (const char *at = chunk.constBegin(); at != end;) {
        const char *stop = std::find_if(at, end, isSeparator);
        const qint64 room = MaximumTextSize - pending.size();
        if (stop - at > room)
            cut = true;
        pending.append(at, int(qMin<qint64>(stop - at, room)));
        if (stop == end)
            break;
        take(&records);
        at = stop + 1;
    }
    return records;
}

QVector<DfuUtilOutput::Record> DfuUtilOutput::finish()
{
    QVector<Record> records;
    take(&records);
    return records;
}

void DfuUtilOutput::take(QVector<Record> *records)
{
    if (cut)
        pending += CutMark;
    if (!pending.isEmpty())
        parse(pending, records);
    pending.clear();
    cut = false;
}

// A bar that is not whole (dfu-util ended in the middle of it) is dropped: no part of a bar
// is text for the log.
void DfuUtilOutput::parse(const QByteArray &piece, QVector<Record> *records)
{
    static const QRegularExpression bar("^(Erase|Download|Upload) *\\t\\[");
    static const QRegularExpression progress(
        "^(Erase|Download|Upload) *\\t\\[[= ]{25}\\] +\\d{1,3}% +(\\d{1,18}) bytes(.*)$");
    static const QRegularExpression done("^(Erase|Download|Upload) +done\\.$");

    Record record;
    record.text = piece;
    const QString text = QString::fromLatin1(piece);
    QRegularExpressionMatch match = progress.match(text);
    if (match.hasMatch() && stageNamed(match.captured(1), &record.stage)) {
        record.kind = Record::Progress;
        record.bytes = match.captured(2).toLongLong();
        record.text.clear();
        *records << record;
        // " failed!" after the bar.
        const QString rest = match.captured(3).trimmed();
        if (!rest.isEmpty())
            *records << Record {Record::Text, record.stage, 0,
                                (match.captured(1) + " " + rest).toLatin1()};
        return;
    }
    if (bar.match(text).hasMatch())
        return;
    match = done.match(text);
    if (match.hasMatch() && stageNamed(match.captured(1), &record.stage)) {
        record.kind = Record::StageDone;
        record.text = (match.captured(1) + " done.").toLatin1();
    }
    *records << record;
}
