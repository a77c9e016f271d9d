// A process that cannot outlive the tool: when the tool ends, however it ends (killed
// included), the system ends the child too, so dfu-util never goes on writing to a device alone.
#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

class ChildProcess : public QProcess
{
public:
    ChildProcess();

    // QProcess::start, and the child tied to the tool before it runs a single instruction.
    void launch(const QString &program, const QStringList &arguments);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0) && defined(Q_OS_UNIX)
protected:
    void setupChildProcess() override;
#endif

private:
#ifdef Q_OS_WIN
    // Qt's own record of the started child, filled in by CreateProcess.
    void *created = nullptr;
#else
    qint64 parentPid;
#endif
};

#endif // CHILDPROCESS_H
