// The fake dfu-util's scripts and the tool copy it runs beside.
#include "tests/dfusecommand/fakedfuutiltest.h"

#include "dfuse/dfusewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

void FakeDfuUtilTest::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    // A copy of the tool with the fake beside it, where the tool looks for dfu-util first.
    for (const char *folder : {"tool", "script", "tmp"})
        QVERIFY(QDir().mkpath(work->filePath(folder)));
    toolPath = work->filePath("tool/DfuSeCommand.exe");
    const QString fake = work->filePath("tool/" + QFileInfo(FAKE_DFU_UTIL).fileName());
    QVERIFY(QFile::copy(DFUSECOMMAND, toolPath) && QFile::copy(FAKE_DFU_UTIL, fake));
    const auto executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    QVERIFY(QFile::setPermissions(toolPath, executable) && QFile::setPermissions(fake, executable));
}

void FakeDfuUtilTest::cleanup()
{
    work.reset();
}

// Pieces of standard output go to the fake in files, cut in awkward places.
void FakeDfuUtilTest::writeScript(const QList<FakeCall> &calls) const
{
    const int cuts[] = {1, 2, 37, 5, 60, 11, 3, 90};
    for (int n = 0; n < calls.size(); ++n) {
        const QString prefix = work->filePath(QString("script/%1").arg(n));
        QByteArray pieces;
        for (int at = 0, i = 0; at < calls.at(n).out.size(); at += cuts[i++ % 8])
            pieces += calls.at(n).out.mid(at, cuts[i % 8]) + '\x1e';
        QList<QPair<QString, QByteArray>> files
            = {{".out", pieces}, {".err", calls.at(n).err}, {".code", calls.at(n).code}};
        if (!calls.at(n).upload.isEmpty())
            files.append({".upload", calls.at(n).upload});
        for (const auto &file : files) {
            QFile out(prefix + file.first);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file.second);
        }
    }
}

QStringList FakeDfuUtilTest::calls() const
{
    QFile file(work->filePath("script/calls"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    lines.replaceInStrings(work->path(), "%WORK%");
    lines.replaceInStrings(
        QRegularExpression("/proc/self/fd/\\d+|\\S+\\\\brindleflash-firmware-\\S+"), "%COPY%");
    return lines.replaceInStrings(QRegularExpression("%WORK%/tmp/[^/ ]+/"), "%TMP%/");
}

QString FakeDfuUtilTest::firmware(const DfuSeFile &file) const
{
    QFile out(work->filePath("firmware.dfu"));
    if (!out.open(QIODevice::WriteOnly) || out.write(DfuSeWriter::write(file)) <= 0)
        return QString();
    return out.fileName();
}

QString FakeDfuUtilTest::scriptFile(int call, const char *suffix) const
{
    return work->filePath(QString("script/%1%2").arg(call).arg(suffix));
}

// A few seconds of silence end a download here, not a minute.
QProcessEnvironment FakeDfuUtilTest::environment(const QString &waitSeconds) const
{
    QProcessEnvironment env = environmentWithoutDevice();
    env.insert("FAKE_DFU_UTIL_DIR", work->filePath("script"));
    env.insert("DFU_WAIT_SECONDS", waitSeconds);
    env.insert("DFU_STALL_SECONDS", "3");
    for (const char *name : {"TMPDIR", "TMP", "TEMP"})
        env.insert(name, QDir::toNativeSeparators(work->filePath("tmp")));
    return env;
}

Run FakeDfuUtilTest::tool(const QStringList &arguments, const QString &waitSeconds) const
{
    return runProgram(toolPath, arguments, environment(waitSeconds));
}
