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

    struct Record
    {
        enum Kind { Progress, StageDone, Text };

        Kind kind = Text;
        Stage stage = Erase;
        // How far the stage has come in the current element.
        qint64 bytes = 0;
        QByteArray text;
    };

    // The records completed by this chunk; a piece without its separator yet waits.
    QVector<Record> feed(const QByteArray &chunk);
    // The last piece, once dfu-util has ended.
    QVector<Record> finish();

    static Record parse(const QByteArray &piece);

private:
    QByteArray pending;
};

#endif // DFUUTILOUTPUT_H
