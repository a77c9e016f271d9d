// The checked firmware as dfu-util gets it: a copy that only this user can read and that goes
// with the tool, however the tool ends, so a file changed on disk after the check is never
// what reaches the device.
#ifndef PRIVATECOPY_H
#define PRIVATECOPY_H

#include <QByteArray>
#include <QString>

#ifndef Q_OS_LINUX
#include <QTemporaryFile>
#endif

class PrivateCopy
{
public:
    explicit PrivateCopy(const QByteArray &bytes);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy &) = delete;
    PrivateCopy &operator=(const PrivateCopy &) = delete;

    bool isValid() const { return !where.isEmpty(); }
    // Where the tool's child processes open the copy.
    QString path() const { return where; }
    QString errorString() const { return error; }

private:
    QString where;
    QString error;
#ifdef Q_OS_LINUX
    int fd = -1;
#else
    QTemporaryFile file;
#endif
};

#endif // PRIVATECOPY_H
