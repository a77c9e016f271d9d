// dfu-util's progress bar: "\r" + label + "\t[" + 25 bar characters + "] " + "%3d%%" + " %12d
// bytes", followed at the end of a stage by "\n" + label + " done.\n".
#include "updatetool/dfuutiloutput.h"

#include <QRegularExpression>

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

} // namespace

QVector<DfuUtilOutput::Record> DfuUtilOutput::feed(const QByteArray &chunk)
{
    QVector<Record> records;
    pending += chunk;
    int start = 0;
    for (int i = 0; i < pending.size(); ++i) {
        if (pending.at(i) != '\r' && pending.at(i) != '\n')
            continue;
        if (i > start)
            records << parse(pending.mid(start, i - start));
        start = i + 1;
    }
    pending.remove(0, start);
    return records;
}

QVector<DfuUtilOutput::Record> DfuUtilOutput::finish()
{
    QVector<Record> records;
    if (!pending.isEmpty())
        records << parse(pending);
    pending.clear();
    return records;
}

DfuUtilOutput::Record DfuUtilOutput::parse(const QByteArray &piece)
{
    static const QRegularExpression progress(
        "^(Erase|Download|Upload) *\\t\\[[= ]{25}\\] +\\d{1,3}% +(\\d{1,18}) bytes$");
    static const QRegularExpression done("^(Erase|Download|Upload) +done\\.$");

    Record record;
    record.text = piece;
    const QString text = QString::fromLatin1(piece);
    QRegularExpressionMatch match = progress.match(text);
    if (match.hasMatch() && stageNamed(match.captured(1), &record.stage)) {
        record.kind = Record::Progress;
        record.bytes = match.captured(2).toLongLong();
        return record;
    }
    match = done.match(text);
    if (match.hasMatch() && stageNamed(match.captured(1), &record.stage))
        record.kind = Record::StageDone;
    return record;
}
