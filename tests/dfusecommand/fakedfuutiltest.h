// A copy of the tool with the fake dfu-util beside it, in a folder of its own for each test,
// and what the fake was asked to do and did.
#ifndef FAKEDFUUTILTEST_H
#define FAKEDFUUTILTEST_H

#include "tests/dfusecommand/fakedfuutilcalls.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>

class FakeDfuUtilTest : public QObject
{
    Q_OBJECT

protected slots:
    void init();
    void cleanup();

protected:
    void writeScript(const QList<FakeCall> &calls) const;
    QStringList calls() const;
    QString firmware(const DfuSeFile &file) const;
    QString scriptFile(int call, const char *suffix) const;
    QProcessEnvironment environment(const QString &waitSeconds) const;
    Run tool(const QStringList &arguments, const QString &waitSeconds = "0") const;

    std::unique_ptr<QTemporaryDir> work;
    QString toolPath;
};

#endif // FAKEDFUUTILTEST_H
