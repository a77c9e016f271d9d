// What the tool asks of the operating system and leaves in it: dfu-util ended with the tool,
// the private copy and the read-back files gone however the tool ends, the real dfu-util's word
// when no device is there, and the udev rule that grants device access.
#include "tests/dfusecommand/fakedfuutiltest.h"

#include "dfuse/dfusewriter.h"
#include "dfusecommand/os/privatecopy.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_WIN
#include <aclapi.h>
#include <sddl.h>
#else
#include <csignal>
#include <cstring>
#include <sys/file.h>
#endif

class tst_ToolPlatform : public FakeDfuUtilTest
{
    Q_OBJECT

private slots:
    void killedMidDownload();
#ifdef Q_OS_WIN
    void privateCopy_data();
    void privateCopy();
#else
    // Signals are Unix's; a Windows tool ends without running any code of its own.
    void leavesNoReadBack_data();
    void leavesNoReadBack();
#endif
    void realDfuUtilWithoutDevice();
    void udevRule();
};

// start, but never while the tool that holds it still runs.
void tst_ToolPlatform::killedMidDownload()
{
    const DfuSeFile file = layout(twoTargets, true);
    FakeCall download = downloadOf(file, 0);
    download.out = upTo(download.out, "Download\t[========");
    download.code = "hang";
    writeScript({listingOf({"0483:df11/5/0", "0483:df11/5/1"}), download});
    const auto release
        = qScopeGuard([this] { QFile(scriptFile(1, ".go")).open(QIODevice::WriteOnly); });
    const QString path = firmware(file);
    QProcess process;
    process.setProcessEnvironment(environment("10"));
    process.start(toolPath, {"-c", "-d", "--fn", path, "-l"});
    QByteArray dfuUtil;
    QTRY_VERIFY([&] {
        QFile pid(scriptFile(1, ".pid"));
        return pid.open(QIODevice::ReadOnly) && !(dfuUtil = pid.readAll().trimmed()).isEmpty();
    }());
    QVERIFY(!processEnded(dfuUtil));
    QTRY_COMPARE(QFileInfo(scriptFile(1, ".given")).size(),
                 qint64(DfuSeWriter::write(file).size()));
#ifdef Q_OS_WIN
    const QString downloadCall = calls().value(1);
    QFile callsFile(work->filePath("script/calls"));
    QVERIFY(callsFile.open(QIODevice::ReadOnly));
    const QString copy = QString::fromLocal8Bit(callsFile.readAll().split('\n').value(1))
                             .section(" -D ", 1)
                             .trimmed();
    QVERIFY2(downloadCall.endsWith("-D %COPY%") && QFile::exists(copy), qPrintable(downloadCall));
    QCOMPARE(tool({"--fn", path}).exitCode, 0);
    QVERIFY(QFile::exists(copy));
#endif
    process.kill();
    QVERIFY(process.waitForFinished(10000));
    QTRY_VERIFY(processEnded(dfuUtil));
#ifdef Q_OS_WIN
    QCOMPARE(tool({"--fn", path}).exitCode, 0);
    QVERIFY(!QFile::exists(copy));
#endif
}

#ifdef Q_OS_WIN
void tst_ToolPlatform::privateCopy_data()
{
    QTest::addColumn<QString>("temp");
    QTest::newRow("plain temp folder") << "tmp";
    // dfu-util would get its path with "?" for what the ANSI code page lacks.
    QTest::newRow("user name beyond ASCII") << QString::fromUtf8(
        "tmp-\xc5\xbdlu\xc5\xa5ou\xc4\x8dk\xc3\xbd \xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd");
}

// Wine enforces no permissions between users, so the DACL is read back rather than tried.
void tst_ToolPlatform::privateCopy()
{
    QFETCH(QString, temp);
    const QString folder = QDir::toNativeSeparators(work->filePath(temp));
    QVERIFY(QDir().mkpath(folder));
    // QDir::tempPath() asks Windows, which reads its own copy of the environment.
    const QString before = qEnvironmentVariable("TMP");
    const auto restore = qScopeGuard([&] {
        SetEnvironmentVariableW(L"TMP", reinterpret_cast<const wchar_t *>(before.utf16()));
    });
    QVERIFY(SetEnvironmentVariableW(L"TMP", reinterpret_cast<const wchar_t *>(folder.utf16())));
    const QByteArray bytes = pattern(70000, 5);
    QString path;
    {
        const PrivateCopy copy(bytes);
        QVERIFY2(copy.isValid(), qPrintable(copy.errorString()));
        path = copy.path();
        QVERIFY2(QRegularExpression("^[ -~]+$").match(path).hasMatch(), qPrintable(path));
        QFile read(path);
        QVERIFY(read.open(QIODevice::ReadOnly));
        QVERIFY(read.readAll() == bytes);
        QFile write(path);
        QVERIFY(!write.open(QIODevice::ReadWrite));

        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        QCOMPARE(GetNamedSecurityInfoW(reinterpret_cast<const wchar_t *>(path.utf16()),
                                       SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                       &dacl, nullptr, &descriptor),
                 DWORD(ERROR_SUCCESS));
        const auto freeDescriptor = qScopeGuard([&] { LocalFree(descriptor); });
        QVERIFY(dacl);
        HANDLE token = nullptr;
        QVERIFY(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
        char user[256];
        DWORD size = sizeof user;
        QVERIFY(GetTokenInformation(token, TokenUser, user, size, &size));
        CloseHandle(token);
        // Wine keeps a DACL in the file's mode bits, which always let the system itself in.
        QStringList allowed;
        for (int i = 0; i < int(dacl->AceCount); ++i) {
            ACCESS_ALLOWED_ACE *ace = nullptr;
            wchar_t *sid = nullptr;
            QVERIFY(GetAce(dacl, DWORD(i), reinterpret_cast<void **>(&ace))
                    && ConvertSidToStringSidW(&ace->SidStart, &sid));
            QCOMPARE(int(ace->Header.AceType), int(ACCESS_ALLOWED_ACE_TYPE));
            allowed << (EqualSid(reinterpret_cast<TOKEN_USER *>(user)->User.Sid, &ace->SidStart)
                            ? QString("user")
                            : QString::fromWCharArray(sid));
            LocalFree(sid);
        }
        allowed.removeAll("S-1-5-18");
        QCOMPARE(allowed, QStringList {"user"});
    }
    QVERIFY(!QFile::exists(path));
}
#else
void tst_ToolPlatform::leavesNoReadBack_data()
{
    QTest::addColumn<int>("signal");

    for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        QTest::newRow(strsignal(signal)) << signal;
    // Only the next start removes what a killed tool leaves, but not a running tool's folder.
    QTest::newRow("killed, then started again") << int(SIGKILL);
}

// Signalled while dfu-util reads the device back into the tool's temporary folder.
void tst_ToolPlatform::leavesNoReadBack()
{
    QFETCH(int, signal);

    const DfuSeFile file = layout(twoTargets, true);
    FakeCall upload = uploadsOf(file).first();
    upload.code = "hang";
    writeScript({listingOf({"0483:df11/5/0", "0483:df11/5/1"}), downloadOf(file, 0),
                 downloadOf(file, 1), upload});
    QProcess process;
    process.setProcessEnvironment(environment("0"));
    process.start(toolPath, {"-c", "-d", "--fn", firmware(file)});
    QTRY_VERIFY(QFile::exists(scriptFile(3, ".pid")));
    QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
    QTRY_COMPARE(process.state(), QProcess::NotRunning);
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QDir tmp(work->filePath("tmp"));
    QStringList expected;
    if (signal == SIGKILL) {
        expected << "DfuSeCommand.exe-beside";
        QFile beside(tmp.filePath(expected.first() + "/owner.lock"));
        QVERIFY(tmp.mkdir(expected.first()) && beside.open(QIODevice::WriteOnly));
        QVERIFY(::flock(beside.handle(), LOCK_EX) == 0
                && tool({"--fn", firmware(file)}).exitCode == 0);
    }
    QCOMPARE(tmp.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), expected);
}
#endif

void tst_ToolPlatform::realDfuUtilWithoutDevice()
{
    if (QStandardPaths::findExecutable("dfu-util", {QFileInfo(DFUSECOMMAND).path()}).isEmpty()
        && QStandardPaths::findExecutable("dfu-util").isEmpty())
        QSKIP("dfu-util is not installed (Debian package dfu-util).");
    // Ids no device carries: even a DFU device on this machine is never touched.
    DfuSeFile file = layout({"0@0x08000000:64"}, true);
    file.vendorId = 0;
    file.productId = 0;
    QProcessEnvironment env = environmentWithoutDevice();
    env.insert("DFU_WAIT_SECONDS", "1");
    const Run run = runProgram(DFUSECOMMAND, {"-c", "-d", "--fn", firmware(file), "-l"}, env);
    QCOMPARE(run.exitCode, 10);
    // Under Wine one listing alone may take longer than the wait, which the message then says.
    QVERIFY2(run.err.contains("No DFU device 0000:0000 appeared ")
                 && run.err.contains(" s. Connect the device, put it into DFU mode and try again."),
             run.err.constData());
    QVERIFY(run.out.contains("Waiting up to 1 s for the DFU device 0000:0000 to appear"));
}

// udev's own check where this udev has one; otherwise the rule is read the way udev reads it.
void tst_ToolPlatform::udevRule()
{
#ifdef Q_OS_WIN
    QSKIP("udev is Linux's.");
#endif
    const QString udevadm = QStandardPaths::findExecutable("udevadm");
    QProcess help;
    if (!udevadm.isEmpty()) {
        help.start(udevadm, {"verify", "--help"});
        help.waitForFinished();
    }
    if (!udevadm.isEmpty() && help.exitCode() == 0) {
        const Run verify = runProgram(udevadm, {"verify", RULES_FILE}, environmentWithoutDevice());
        QVERIFY2(verify.exitCode == 0, (verify.out + verify.err).constData());
    }

    // It must come before 73-seat-late.rules, which turns the tag into access.
    QVERIFY(QFileInfo(RULES_FILE).fileName() < "73");
    QFile rules(RULES_FILE);
    QVERIFY(rules.open(QIODevice::ReadOnly | QIODevice::Text));
    const QRegularExpression pair("^([A-Z_]+)(\\{([A-Za-z_]+)\\})?(==|!=|\\+=|=)\"([^\"]*)\"$");
    QList<QMap<QString, QString>> rulesRead;
    for (const QByteArray &raw : rules.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        QMap<QString, QString> rule;
        for (const QString &part : line.split(", ")) {
            const QRegularExpressionMatch match = pair.match(part);
            QVERIFY2(match.hasMatch(), qPrintable(part));
            rule.insert(match.captured(1) + match.captured(2) + match.captured(4),
                        match.captured(5));
        }
        rulesRead << rule;
    }
    QCOMPARE(rulesRead.size(), 1);
    const QMap<QString, QString> rule = rulesRead.first();
    QCOMPARE(rule.value("TAG+="), QString("uaccess"));
    QCOMPARE(rule.value("SUBSYSTEM=="), QString("usb"));
    QCOMPARE(rule.value("ACTION!="), QString("remove"));
    QCOMPARE(rule.value("ENV{DEVTYPE}=="), QString("usb_device"));

    // udev fills ID_USB_INTERFACES with :CCSSPP: per interface (class, subclass, protocol).
    const QRegularExpression interfaces(QRegularExpression::anchoredPattern(
        QRegularExpression::wildcardToRegularExpression(rule.value("ENV{ID_USB_INTERFACES}=="))));
    QVERIFY(interfaces.isValid());
    for (const char *dfu : {":fe0102:", ":fe0101:", ":030000:fe0101:", ":080650:fe0102:ff0000:"})
        QVERIFY2(interfaces.match(dfu).hasMatch(), dfu);
    for (const char *other : {":080650:", ":fe0201:", ":0fe010:", ":ff0000:020201:", ""})
        QVERIFY2(!interfaces.match(other).hasMatch(), other);
}

QTEST_GUILESS_MAIN(tst_ToolPlatform)
#include "tst_toolplatform.moc"
