// The real program on a real X display, with the real update tool and dfu-util on a simulated
// USB device, driven as a user drives it: the mouse and keyboard through xdotool, and what the
// window shows read back over the accessibility bus, as a screen reader reads it.
#include "atspiclient.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString mainTitle = "Brindleflash - Device Firmware Updater";
const int windowTimeoutMs = 20000;

QRegularExpression exactly(const QString &text)
{
    return QRegularExpression(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(text)));
}

} // namespace

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void updatesTheSimulatedDevice();
    void absentDeviceOffersRetry();

private:
    void startProgram(const QStringList &deviceOptions);
    void chooseFirmware();
    void click(const AccessibleObject &object);
    void xdotool(const QStringList &arguments);
    QString window(const QString &title, bool wait);
    void picture(const QString &title, const QString &file);
    AccessibleObject find(const QString &role, const QString &name);
    QString status();

    QTemporaryDir work {QDir::tempPath() + "/brindleflash-XXXXXX"};
    const QString pictures = qEnvironmentVariable("BRINDLEFLASH_SCREENSHOTS");
    QString firmware;
    QByteArray image;
    QProcess sessionBus;
    // The simulated device, which runs the program.
    QProcess program;
    qint64 programPid = 0;
    std::unique_ptr<AtSpiClient> client;
    AccessibleObject app;
};

void tst_EndToEnd::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "needs an X display");

    // A blank in the path: the chooser and the tool's command line must keep it whole.
    QVERIFY(work.isValid());
    QVERIFY(QDir(work.path()).mkdir("firmware files"));
    for (int i = 0; i < 96 * 1024; ++i)
        image.append(char((i * 7 + i / 251) & 0xff));
    QFile raw(work.filePath("image.bin"));
    QVERIFY(raw.open(QIODevice::WriteOnly));
    raw.write(image);
    raw.close();
    firmware = work.filePath("firmware files/update.dfu");
    QCOMPARE(QProcess::execute(DFUSEPACK, {"-o", firmware, "0x08000000:" + raw.fileName()}), 0);
}

void tst_EndToEnd::cleanup()
{
    // The simulated device passes a termination on to the program.
    for (QProcess *process : {&program, &sessionBus}) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished();
            }
        }
    }
    client.reset();
    app = {};
}

void tst_EndToEnd::updatesTheSimulatedDevice()
{
    // Slower for pictures, so that one can be taken halfway through the download.
    startProgram({"--poll-ms", pictures.isEmpty() ? "10" : "60"});
    if (QTest::currentTestFailed())
        return;
    chooseFirmware();
    if (QTest::currentTestFailed())
        return;
    picture(mainTitle, "mainwindow.png");
    click(find("push button", "Start Update"));
    if (QTest::currentTestFailed())
        return;

    // Sample the status line until the success box is up; the window closes right behind it.
    QStringList seen;
    bool pictured = false;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const QString now = status();
            if (!now.isEmpty() && (seen.isEmpty() || seen.constLast() != now))
                seen << now;
            if (!pictured && now == "Status: Upgrading - Download Phase"
                && client->value(client->find(app, "progress bar", QRegularExpression())) >= 40) {
                pictured = true;
                picture(mainTitle, "updating.png");
            }
            return !client->find(app, "label", exactly("Update Successful.")).isNull();
        }(),
        60000);
    const int erase = seen.indexOf("Status: Upgrading - Erase Phase");
    const int download = seen.indexOf("Status: Upgrading - Download Phase");
    QVERIFY2(erase >= 0 && download > erase, qPrintable(seen.join(" | ")));
    QCOMPARE(status(), QString("Status: Update Successful"));

    QTRY_VERIFY(window(mainTitle, false).isEmpty());
    picture(QString(), "success.png");

    // The program ends when the user closes the box; the device's memory is saved as it leaves.
    click(find("push button", "OK"));
    QVERIFY(program.waitForFinished(10000));
    QFile flashed(work.filePath("device/alt0-08000000.bin"));
    QVERIFY(flashed.open(QIODevice::ReadOnly));
    QVERIFY(flashed.read(image.size()) == image);
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

void tst_EndToEnd::absentDeviceOffersRetry()
{
    startProgram({"--fault", "absent"});
    if (QTest::currentTestFailed())
        return;
    chooseFirmware();
    if (QTest::currentTestFailed())
        return;
    click(find("push button", "Start Update"));
    if (QTest::currentTestFailed())
        return;

    QTRY_VERIFY_WITH_TIMEOUT(!client->find(app, "push button", exactly("Retry Update")).isNull(),
                             30000);
    QCOMPARE(status(), QString("Status: Update Failed - Do not close this window. See log first."));
    QVERIFY(!window(mainTitle, false).isEmpty());

    click(find("check box", "Show Details"));
    const QString log = client->text(client->find(app, "text", QRegularExpression()));
    QVERIFY2(log.contains("The update process completed but reported an error.Error Code: 10 - "
                          "DFU device not found.\nThis can happen if the DFU drivers have not "
                          "been installed"),
             qPrintable(log));
    QVERIFY(log.contains("Make sure the drivers are installed and click Retry Update."));
    picture(mainTitle, "failure.png");
}

void tst_EndToEnd::startProgram(const QStringList &deviceOptions)
{
    // A session bus of its own for each run. Its accessibility bus starts only once the window
    // is up: the toolkit misses a bus that is there before it starts. Without DISPLAY the bus
    // leaves no address on the X root window for later runs to trip over.
    QProcessEnvironment busEnvironment = QProcessEnvironment::systemEnvironment();
    busEnvironment.remove("DISPLAY");
    sessionBus.setProcessEnvironment(busEnvironment);
    sessionBus.start(DBUS_DAEMON, {"--session", "--nofork", "--print-address=1"});
    QVERIFY(sessionBus.waitForReadyRead(10000));
    const QString address = QString::fromUtf8(sessionBus.readLine()).trimmed();

    QStringList env = QProcess::systemEnvironment();
    // The toolkit speaks to the accessibility bus for screen readers only, unless told always.
    env << "DBUS_SESSION_BUS_ADDRESS=" + address << "QT_QPA_PLATFORM=xcb"
        << "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"
        << "DFU_WAIT_SECONDS=2"
        // The tool's backups stay in the test's folder.
        << "XDG_DATA_HOME=" + work.filePath("data");
    program.setEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(DEVSIM,
                  QStringList {"--memory", work.filePath("device")} + deviceOptions
                      + QStringList {"--", BRINDLEFLASH});
    QVERIFY(program.waitForStarted());
    // The window belongs to the program, the simulated device's child.
    const QString children = QString("/proc/%1/task/%1/children").arg(program.processId());
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            QFile file(children);
            programPid = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
            return programPid > 0;
        }(),
        windowTimeoutMs);
    QVERIFY(!window(mainTitle, true).isEmpty());

    client.reset(new AtSpiClient);
    QString problem;
    QVERIFY2(client->connectToBus(address, &problem), qPrintable(problem));
    QTRY_VERIFY_WITH_TIMEOUT(!(app = client->application(programPid)).isNull(), windowTimeoutMs);
    QTRY_COMPARE(status(), QString("Status: Ready"));
}

void tst_EndToEnd::chooseFirmware()
{
    click(find("push button", "Browse firmware files..."));
    if (QTest::currentTestFailed())
        return;
    const QString chooser = window("Firmware File", true);
    QVERIFY(!chooser.isEmpty());
    xdotool({"windowfocus", "--sync", chooser});
    xdotool({"type", "--delay", "5", firmware});

    // A completion list may take the first Return for itself.
    const auto chosen = [this] {
        return !client->find(app, "label", exactly("Firmware File: " + firmware)).isNull();
    };
    bool done = false;
    for (int attempt = 0; attempt < 3 && !done; ++attempt) {
        xdotool({"key", "Return"});
        done = QTest::qWaitFor(chosen, 3000);
    }
    QVERIFY(done);
}

void tst_EndToEnd::click(const AccessibleObject &object)
{
    QVERIFY(!object.isNull());
    const QRect where = client->extents(object);
    QVERIFY(where.isValid());
    xdotool({"mousemove", "--sync", QString::number(where.center().x()),
             QString::number(where.center().y()), "click", "1"});
}

void tst_EndToEnd::xdotool(const QStringList &arguments)
{
    QCOMPARE(QProcess::execute(XDOTOOL, arguments), 0);
}

// The program's visible X window with this title (no pattern characters in it; none: any
// window): waits for it, or looks once.
QString tst_EndToEnd::window(const QString &title, bool wait)
{
    const QString pid = QString::number(programPid);
    QStringList arguments = {"search", "--onlyvisible", "--all", "--pid", pid};
    if (!title.isEmpty())
        arguments << "--name"
                  << "^" + title + "$";
    if (wait)
        arguments.insert(1, "--sync");
    QProcess search;
    search.start(XDOTOOL, arguments);
    if (!search.waitForFinished(windowTimeoutMs)) {
        search.kill();
        search.waitForFinished();
        return {};
    }
    return QString::fromLatin1(search.readAllStandardOutput()).section('\n', 0, 0);
}

// With BRINDLEFLASH_SCREENSHOTS set to a folder, the runs leave there pictures of the states they
// pass through (scripts/screenshots makes the README's this way).
void tst_EndToEnd::picture(const QString &title, const QString &file)
{
    if (pictures.isEmpty())
        return;
    const QString id = window(title, true);
    QVERIFY(!id.isEmpty());
    // The last change reaches the screen with the next paint.
    QTest::qWait(300);
    QCOMPARE(QProcess::execute("import", {"-window", id, pictures + "/" + file}), 0);
}

AccessibleObject tst_EndToEnd::find(const QString &role, const QString &name)
{
    AccessibleObject object;
    // Null when it never shows up; the caller's check fails then.
    (void)QTest::qWaitFor(
        [&] { return !(object = client->find(app, role, exactly(name))).isNull(); }, 10000);
    return object;
}

QString tst_EndToEnd::status()
{
    return client->name(client->find(app, "label", QRegularExpression("^Status: ")));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
