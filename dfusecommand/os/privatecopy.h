// The checked firmware as dfu-util gets it: a copy that only this user can read, that nobody
// can change while dfu-util reads it and that goes with the tool, so a file changed on disk
// after the check is never what reaches the device.
#ifndef PRIVATECOPY_H
#define PRIVATECOPY_H

#include <QByteArray>
#include <QString>

#if defined(Q_OS_UNIX) && !defined(Q_OS_LINUX)
#include <QTemporaryFile>
#endif

class PrivateCopy
{
public:
    explicit PrivateCopy(const QByteArray &bytes);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy &) = delete;
    PrivateCopy &operator=(const PrivateCopy &) = delete;

    // The copies of tools that were killed; never one that a running tool holds.
    static void removeLeftovers();

    bool isValid() const { return !where.isEmpty(); }
    // Where the tool's child processes open the copy.
    QString path() const { return where; }
    QString errorString() const { return error; }

private:
#ifdef Q_OS_WIN
    void discard();
#endif

    QString where;
    QString error;
#if defined(Q_OS_UNIX) && !defined(Q_OS_LINUX)
    QTemporaryFile file;
#else
    // A descriptor on Linux, a file handle on Windows.
    qintptr handle = -1;
#endif
};

#endif // PRIVATECOPY_H
