// Such a file is opened by its bytes at the start and named by its descriptor from then on.
#include "dfusecommand/os/nativenames.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

NativeNames::NativeNames(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray given(argv[i]);
        if (QFile::encodeName(QFile::decodeName(given)) == given)
            continue;
        // "--fn=NAME" holds the name after its first '='.
        const int equals = given.startsWith('-') ? given.indexOf('=') : -1;
        const QByteArray name = given.mid(equals + 1);
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        descriptors << fd;
        names.insert(QFile::decodeName(name), QString("/dev/fd/%1").arg(fd));
    }
}

NativeNames::~NativeNames()
{
    for (int fd : descriptors)
        ::close(fd);
}

QString NativeNames::openable(const QString &given) const
{
    return names.value(given, given);
}
