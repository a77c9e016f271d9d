// Qt 5 offers the moment between fork and exec as a virtual function, Qt 6 as a modifier.
#include "dfusecommand/os/childprocess.h"

#include <QCoreApplication>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace {

// Runs in the child, before exec: only async-signal-safe calls.
void dieWithParent(qint64 parentPid)
{
#ifdef Q_OS_LINUX
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A parent that died before the line above sends nothing: then go now.
    if (getppid() != pid_t(parentPid))
        _exit(127);
#else
    Q_UNUSED(parentPid);
#endif
}

} // namespace

ChildProcess::ChildProcess()
    : parentPid(QCoreApplication::applicationPid())
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    setChildProcessModifier([parent = parentPid] { dieWithParent(parent); });
#endif
}

void ChildProcess::launch(const QString &program, const QStringList &arguments)
{
    start(program, arguments);
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void ChildProcess::setupChildProcess()
{
    dieWithParent(parentPid);
}
#endif
