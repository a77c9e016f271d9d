// The lock is an flock, which ends with the last descriptor of its holder, even on SIGKILL.
#include "dfusecommand/os/scratchfolder.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Every signal whose default action ends the process, but SIGPIPE, which QProcess ignores.
const int EndingSignals[]
    = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
       SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS};
constexpr int SignalCount = int(sizeof EndingSignals / sizeof EndingSignals[0]);
struct sigaction previous[SignalCount];
char guardedPath[4096];
int guardedFolder = -1;

// Async-signal-safe only: the entries are listed with getdents64, not readdir.
void removeGuarded()
{
    // dfu-util may create its file after one pass; it creates no other.
    for (int pass = 0; pass < 3; ++pass) {
        char entries[4096];
        ::lseek(guardedFolder, 0, SEEK_SET);
        for (ssize_t size; (size = ::getdents64(guardedFolder, entries, sizeof entries)) > 0;) {
            for (ssize_t at = 0; at < size;) {
                const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    ::unlinkat(guardedFolder, entry->d_name, 0);
                at += entry->d_reclen;
            }
        }
        if (::rmdir(guardedPath) == 0 || errno != ENOTEMPTY)
            return;
    }
}

// SA_RESETHAND restores the default action: raised again, the signal ends the tool as before.
void onEndingSignal(int signal)
{
    const int saved = errno;
    removeGuarded();
    ::raise(signal);
    errno = saved;
}

} // namespace

// Locked before it gets its name, so that no other tool ever finds it unlocked.
bool ScratchFolder::claim()
{
    const QByteArray staging = QFile::encodeName(folder.filePath("owner.new"));
    const int fd = ::open(staging.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0
        || ::rename(staging.constData(), QFile::encodeName(lockPath(folder.path())).constData())
            != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    lock = fd;
    return true;
}

void ScratchFolder::release()
{
    if (lock >= 0)
        ::close(int(lock));
    lock = -1;
}

bool ScratchFolder::isAbandoned(const QString &lockPath)
{
    const int fd = ::open(QFile::encodeName(lockPath).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return free;
}

void ScratchFolder::guard()
{
    const QByteArray path = QFile::encodeName(folder.path());
    guardedFolder = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (guardedFolder < 0 || path.size() >= int(sizeof guardedPath))
        return;
    std::memcpy(guardedPath, path.constData(), size_t(path.size()) + 1);
    struct sigaction action = {};
    action.sa_handler = onEndingSignal;
    action.sa_flags = SA_RESETHAND;
    sigfillset(&action.sa_mask);
    for (int i = 0; i < SignalCount; ++i) {
        ::sigaction(EndingSignals[i], nullptr, &previous[i]);
        // A signal the tool was started to ignore stays ignored.
        if (previous[i].sa_handler != SIG_IGN)
            ::sigaction(EndingSignals[i], &action, nullptr);
    }
}

void ScratchFolder::unguard()
{
    if (guardedFolder < 0)
        return;
    for (int i = 0; i < SignalCount; ++i)
        ::sigaction(EndingSignals[i], &previous[i], nullptr);
    ::close(guardedFolder);
    guardedFolder = -1;
}
