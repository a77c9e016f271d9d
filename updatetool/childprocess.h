// A process that cannot outlive the tool: on Linux the kernel kills it when the tool ends,
// however the tool ends (even by SIGKILL), so dfu-util never goes on writing to a device alone.
#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QProcess>

class ChildProcess : public QProcess
{
public:
    ChildProcess();

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;
#endif

private:
    qint64 parentPid;
};

#endif // CHILDPROCESS_H
