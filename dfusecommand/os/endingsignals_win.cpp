// Nothing to catch: Ctrl-C ends each tool of the console, and the system their dfu-util.
#include "dfusecommand/os/endingsignals.h"

EndingSignals::EndingSignals(QObject *parent)
    : QObject(parent)
{ }

EndingSignals::~EndingSignals() = default;

void EndingSignals::readSignal() { }

void EndingSignals::endBy(int) { }
