// Measures how late the event loop serves a short repeating timer: the longest stall.
#ifndef STALLPROBE_H
#define STALLPROBE_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class StallProbe : public QObject
{
    Q_OBJECT

public:
    explicit StallProbe(QObject *parent = nullptr);

    void start();
    void stop();
    double longestStallMs() const;

private slots:
    void tick();

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastTickNs = 0;
    qint64 longestGapNs = 0;
};

#endif // STALLPROBE_H
