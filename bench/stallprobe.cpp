// Measures how late the event loop serves a short repeating timer: the longest stall.
#include "stallprobe.h"

#include <algorithm>

namespace {
const int intervalMs = 5;
}

StallProbe::StallProbe(QObject *parent)
    : QObject(parent)
{
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(intervalMs);
    connect(&timer, &QTimer::timeout, this, &StallProbe::tick);
}

void StallProbe::start()
{
    longestGapNs = 0;
    clock.start();
    lastTickNs = 0;
    timer.start();
}

void StallProbe::stop()
{
    tick();
    timer.stop();
}

double StallProbe::longestStallMs() const
{
    // A gap of one interval is the timer working as asked, not a stall.
    return std::max<qint64>(0, longestGapNs - qint64(intervalMs) * 1000000) / 1e6;
}

void StallProbe::tick()
{
    const qint64 now = clock.nsecsElapsed();
    longestGapNs = std::max(longestGapNs, now - lastTickNs);
    lastTickNs = now;
}
