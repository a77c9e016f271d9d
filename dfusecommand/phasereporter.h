// Prints the phase lines the window follows, with percentages over the whole file that
// never go backwards, no erase line after a download line, and context lines that can never
// be mistaken for them.
#ifndef PHASEREPORTER_H
#define PHASEREPORTER_H

#include <QString>

#include <cstdio>

class PhaseReporter
{
public:
    enum Phase { Erase, Download };

    explicit PhaseReporter(qint64 totalBytes, std::FILE *out = stdout);

    // What the percentages count up to, when that is not the file's size: dfu-util writes
    // merged elements with the bytes between them.
    void setTotal(qint64 totalBytes) { total = totalBytes; }
    void begin(Phase phase);
    void advance(Phase phase, qint64 bytes);
    // Progress given as the bytes done so far, from 0 on; a lower count than before is ignored.
    void reach(Phase phase, qint64 bytes);
    void finish(Phase phase);
    void leaving();
    void context(const QString &text);

private:
    void show(Phase phase, int percent);
    void writeLine(const QByteArray &line);

    qint64 total;
    qint64 done[2] = {0, 0};
    int shown[2] = {-1, -1};
    std::FILE *out;
};

#endif // PHASEREPORTER_H
