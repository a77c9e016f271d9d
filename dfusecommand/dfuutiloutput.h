// Splits what dfu-util prints on standard output into progress updates and lines of text.
// Its progress updates are separated by carriage returns, not line breaks, and a pipe may
// deliver any of them in pieces.
#ifndef DFUUTILOUTPUT_H
#define DFUUTILOUTPUT_H

#include <QByteArray>
#include <QVector>

class DfuUtilOutput
{
public:
    enum Stage { Erase, Download, Upload };
    // Longer pieces of text are cut to this many bytes and end in CutMark.
    static constexpr int MaximumTextSize = 4096;
    static constexpr char CutMark[] = "... (cut)";

    struct Record
    {
        enum Kind { Progress, StageDone, Text };

        Kind kind = Text;
        Stage stage = Erase;
        // How far the stage has come in the current element.
        qint64 bytes = 0;
        // The text, or for a finished stage its plain line ("Download done.").
        QByteArray text;
    };

    // The records completed by this chunk; a piece without its separator yet waits.
    QVector<Record> feed(const QByteArray &chunk);
    // The last piece, once dfu-util has ended.
    QVector<Record> finish();

private:
    void take(QVector<Record> *records);
    static void parse(const QByteArray &piece, QVector<Record> *records);

    QByteArray pending;
    bool cut = false;
};

#endif // DFUUTILOUTPUT_H
