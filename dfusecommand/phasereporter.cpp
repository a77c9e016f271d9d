// Phase and context lines on standard output, flushed line by line: the window reads them live.
#include "dfusecommand/phasereporter.h"

#include "dfusecommand/toolcontract.h"

#include <QByteArray>

PhaseReporter::PhaseReporter(qint64 totalBytes, std::FILE *out)
    : total(totalBytes)
    , out(out)
{ }

void PhaseReporter::begin(Phase phase)
{
    show(phase, 0);
}

void PhaseReporter::advance(Phase phase, qint64 bytes)
{
    done[phase] += bytes;
    if (total > 0)
        show(phase, int(qMin<qint64>(100, done[phase] * 100 / total)));
}

void PhaseReporter::reach(Phase phase, qint64 bytes)
{
    begin(phase);
    if (bytes > done[phase])
        advance(phase, bytes - done[phase]);
}

void PhaseReporter::finish(Phase phase)
{
    show(phase, 100);
}

void PhaseReporter::leaving()
{
    writeLine(ToolContract::LeavingDfuModeLine);
}

void PhaseReporter::context(const QString &text)
{
    // Names and paths come from outside: keep them on one line and break up anything the
    // window would read as a phase line.
    QByteArray line = text.toUtf8();
    for (char &c : line) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7F)
            c = '?';
    }
    line.replace("Phase (", "Phase: (");
    line.replace(ToolContract::LeavingDfuModeLine, "Leaving DFU Mode.");
    writeLine(line);
}

// dfu-util erases and writes element by element; the window follows one erase phase and then
// one download phase, so an erase after the first download line is not shown.
void PhaseReporter::show(Phase phase, int percent)
{
    if (percent <= shown[phase] || (phase == Erase && shown[Download] >= 0))
        return;
    shown[phase] = percent;
    writeLine((phase == Erase ? ToolContract::ErasePhasePrefix : ToolContract::DownloadPhasePrefix)
              + QByteArray::number(percent) + ToolContract::PhaseLineEnd);
}

void PhaseReporter::writeLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), out);
    std::fputc('\n', out);
    std::fflush(out);
}
