// On Linux the copy is a sealed memory file with no name on any disk: children inherit its
// descriptor and open it as /proc/self/fd/N, and it ends with the last process holding it.
#include "dfusecommand/os/privatecopy.h"

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX

PrivateCopy::PrivateCopy(const QByteArray &bytes)
{
    // Without MFD_CLOEXEC, so that dfu-util inherits it.
    handle = memfd_create("firmware", MFD_ALLOW_SEALING);
    // A child's standard streams replace descriptors 0 to 2.
    if (handle >= 0 && handle < 3) {
        const int moved = fcntl(handle, F_DUPFD, 3);
        close(handle);
        handle = moved;
    }
    bool ok = handle >= 0 && fchmod(handle, S_IRUSR | S_IWUSR) == 0;
    for (qint64 done = 0; ok && done < bytes.size();) {
        const ssize_t written
            = write(handle, bytes.constData() + done, size_t(bytes.size() - done));
        ok = written > 0 || (written < 0 && errno == EINTR);
        done += qMax<ssize_t>(written, 0);
    }
    // Sealed, nobody can change it any more, dfu-util included.
    ok = ok
        && fcntl(handle, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL)
            == 0;
    if (ok)
        where = QString("/proc/self/fd/%1").arg(handle);
    else
        error = QString::fromLocal8Bit(std::strerror(errno));
}

// A memory file leaves nothing behind.
void PrivateCopy::removeLeftovers() { }

PrivateCopy::~PrivateCopy()
{
    if (handle >= 0)
        close(handle);
}

#else

PrivateCopy::PrivateCopy(const QByteArray &bytes)
{
    // QTemporaryFile makes its file readable by this user only.
    if (file.open() && file.write(bytes) == bytes.size() && file.flush())
        where = file.fileName();
    else
        error = file.errorString();
}

PrivateCopy::~PrivateCopy() = default;

// QTemporaryFile removes its file; one of a killed tool stays where the system cleans up.
void PrivateCopy::removeLeftovers() { }

#endif
