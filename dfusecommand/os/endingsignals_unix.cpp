// A handler writes the signal's number to a pipe, which the event loop reads.
#include "dfusecommand/os/endingsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int Caught[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int CaughtCount = int(sizeof Caught / sizeof Caught[0]);
struct sigaction previous[CaughtCount];
int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    if (::write(signalPipe[1], &number, 1) < 0) { }
    errno = saved;
}

} // namespace

EndingSignals::EndingSignals(QObject *parent)
    : QObject(parent)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, SIGNAL(activated(int)), this, SLOT(readSignal()));
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigfillset(&action.sa_mask);
    for (int i = 0; i < CaughtCount; ++i) {
        ::sigaction(Caught[i], nullptr, &previous[i]);
        // A signal the tool was started to ignore stays ignored.
        if (previous[i].sa_handler != SIG_IGN)
            ::sigaction(Caught[i], &action, nullptr);
    }
}

EndingSignals::~EndingSignals()
{
    if (!notifier)
        return;
    for (int i = 0; i < CaughtCount; ++i)
        ::sigaction(Caught[i], &previous[i], nullptr);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void EndingSignals::readSignal()
{
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1)
        emit caught(number);
}

void EndingSignals::endBy(int signal)
{
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
