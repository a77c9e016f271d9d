// The fake update tool, placed where the program looks for the real one, and what it recorded.
#ifndef FAKEUPDATETOOL_H
#define FAKEUPDATETOOL_H

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#endif

class FakeUpdateTool
{
public:
    static QString folder() { return QCoreApplication::applicationDirPath() + "/updateTool"; }

    // No tool, and no records of an earlier one.
    static bool remove() { return QDir(folder()).removeRecursively(); }

    // The steps are those fakeupdatetool.cpp reads, one a line.
    static bool place(const QByteArray &script, bool executable = true)
    {
        const QString tool = folder() + "/DfuSeCommand.exe";
        QFile file(folder() + "/DfuSeCommand.script");
        if (!remove() || !QDir().mkpath(folder())
            || !QFile::copy(QCoreApplication::applicationDirPath() + "/" FAKE_UPDATE_TOOL, tool)
            || !file.open(QIODevice::WriteOnly) || file.write(script) != script.size())
            return false;
        return executable || QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner);
    }

    static QByteArray record(const QString &name)
    {
        QFile file(folder() + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Lets a waiting tool go on past its next wait.
    static bool go() { return QFile(folder() + "/go").open(QIODevice::WriteOnly); }

    static qint64 pid() { return record("pid").trimmed().toLongLong(); }

#ifdef Q_OS_WIN
    static constexpr int crashCode = int(0xC0000005);

    static bool running(qint64 pid)
    {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
        DWORD code = 0;
        const bool alive = process && GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
        if (process)
            CloseHandle(process);
        return alive;
    }

    static void kill(qint64 pid)
    {
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
#else
    static constexpr int crashCode = SIGKILL;

    static bool running(qint64 pid)
    {
        return pid > 0 && ::kill(pid_t(pid), 0) == 0;
    }
    static void kill(qint64 pid)
    {
        ::kill(pid_t(pid), SIGKILL);
    }
#endif
};

#endif // FAKEUPDATETOOL_H
