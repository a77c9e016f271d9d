// Whole update runs against fake tools placed where the program looks for the real one.
#include "fakeupdatetool.h"
#include "modalanswerer.h"
#include "tests/mainwindowprobe.h"

#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

class tst_UpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fileWarning_data();
    void fileWarning();
    void success_data();
    void success();
    void failure_data();
    void failure();
    void negativeExitCode();
    void crash_data();
    void crash();
    void failedToStart_data();
    void failedToStart();
    void retry_data();
    void retry();
    void chooseDevice_data();
    void chooseDevice();
    void secondStartIgnored();
    void closeKillsTool();
    void arguments_data();
    void arguments();
    void standardError();

private:
    void choose(MainWindow &window, const QString &path);
    MainWindowForm *start(MainWindow &window, const QString &path);

    QScopedPointer<QTemporaryDir> work;
    QString firmware;
};

static const char *const failureStatus
    = "Status: Update Failed - Do not close this window. See log first.";

void tst_UpdateRun::init()
{
    QVERIFY(FakeUpdateTool::remove());
    work.reset(new QTemporaryDir);
    QVERIFY(work->isValid());
    firmware = work->filePath("firmware.dfu");
    QFile file(firmware);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not really firmware");
}

void tst_UpdateRun::cleanup()
{
    const qint64 pid = FakeUpdateTool::pid();
    if (FakeUpdateTool::running(pid)) {
        FakeUpdateTool::kill(pid);
        QFAIL("a tool process was left running");
    }
    // One at a time: deleting one window may delete others with it.
    while (!QApplication::topLevelWidgets().isEmpty())
        delete QApplication::topLevelWidgets().first();
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
    work.reset();
}

void tst_UpdateRun::choose(MainWindow &window, const QString &path)
{
    MainWindowProbe::firmwareFile(window) = path;
}

// Shows the window and presses its start button on the given file.
MainWindowForm *tst_UpdateRun::start(MainWindow &window, const QString &path)
{
    window.show();
    choose(window, path);
    MainWindowForm *f = MainWindowProbe::form(window);
    f->startUpdateButton->click();
    return f;
}

void tst_UpdateRun::fileWarning_data()
{
    QTest::addColumn<bool>("chosen");
    QTest::newRow("no file chosen") << false;
    QTest::newRow("file deleted after choosing") << true;
}

void tst_UpdateRun::fileWarning()
{
    QFETCH(bool, chosen);
    QVERIFY(FakeUpdateTool::place("exit 0"));

    MainWindow window;
    window.show();
    MainWindowForm *f = MainWindowProbe::form(window);
    window.appendLog("kept");
    const QString logBefore = f->detailText->toPlainText();
    QString path;
    if (chosen) {
        path = work->filePath("gone.dfu");
        choose(window, path);
    }

    ModalAnswerer answerer;
    answerer.add(ModalAnswerer::press(QMessageBox::Ok));
    QTest::mouseClick(f->startUpdateButton, Qt::LeftButton);
    QVERIFY(answerer.idle());

    const ModalSnapshot box = answerer.seen().first();
    QCOMPARE(box.title, QString("File doesn't exist"));
    QCOMPARE(box.text, QString("Can't find firmware file."));
    QCOMPARE(box.detailedText, "The firmware file does not seem to exist: \n" + path);
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));

    QCOMPARE(f->detailText->toPlainText(), logBefore);
    QCOMPARE(f->statusLabel->text(), QString("Status: Ready"));
    QVERIFY(!MainWindowProbe::updating(window));
    QVERIFY(f->startUpdateButton->isEnabled());
    QVERIFY(f->customFirmwareButton->isEnabled());
    QVERIFY(FakeUpdateTool::record("launches").isEmpty());
}

void tst_UpdateRun::success_data()
{
    QTest::addColumn<QByteArray>("complain");
    QTest::addColumn<QString>("informative");

    QTest::newRow("clean") << QByteArray() << QString();
    QTest::newRow("unverified") << QByteArray("err written but could not be verified\\n")
                                << "written but could not be verified";
    // 200 lines of 32 bytes: the box shows the last 4 KiB, 128 lines.
    QByteArray steps;
    QStringList last;
    for (int i = 100; i < 300; ++i) {
        steps += QString("err warning %1: block not verified\\n\n").arg(i).toUtf8();
        if (i >= 172)
            last << QString("warning %1: block not verified").arg(i);
    }
    QTest::newRow("many warnings") << steps << last.join('\n');
}

void tst_UpdateRun::success()
{
    QFETCH(QByteArray, complain);
    QFETCH(QString, informative);
    QVERIFY(
        FakeUpdateTool::place("out Upgrading - Erase Phase (100)\\n\nwait\n" + complain
                              + "\nout Upgrading - Download Phase (100)\\nLeaving DFU Mode...\\n"));

    auto *window = new MainWindow;
    MainWindowForm *f = start(*window, firmware);

    QVERIFY(MainWindowProbe::updating(*window));
    QVERIFY(!f->startUpdateButton->isEnabled());
    QVERIFY(!f->customFirmwareButton->isEnabled());
    QTRY_VERIFY(f->detailText->toPlainText().contains("Erase Phase (100)"));
    QVERIFY(FakeUpdateTool::go());
    QTRY_VERIFY(!window->isVisible());

    const QStringList log = MainWindowProbe::logEntries(*window);
    if (complain.isEmpty())
        QCOMPARE(log.size(), 7);
    QCOMPARE(log.at(0), "Update process started. Will send firmware from file: " + firmware);
    QCOMPARE(log.at(1), QString("Setting device to DFU Mode"));
    QCOMPARE(log.at(2), QString("Starting update process, Waiting for device to enter DFU Mode"));
    QVERIFY(log.at(3).startsWith("Process command: "));
    QCOMPARE(log.at(4), QString("Process Output:\nUpgrading - Erase Phase (100)\n"));
    QCOMPARE(log.last(), QString("Update Successful"));
    QCOMPARE(f->statusLabel->text(), QString("Status: Update Successful"));
    QVERIFY(!f->progressBar->isEnabled());
    QVERIFY(!MainWindowProbe::updating(*window));
    QVERIFY(!MainWindowProbe::process(*window));

    // The success box outlives the window and deletes itself when closed.
    QMessageBox *box = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
            box = b;
    }
    QVERIFY(box);
    QCOMPARE(box->text(), QString("Update Successful."));
    QCOMPARE(box->informativeText(), informative);
    QVERIFY(box->isModal());
    QVERIFY(!box->parent());
    delete window;
    QPointer<QMessageBox> watched(box);
    box->close();
    QTRY_VERIFY(watched.isNull());
}

void tst_UpdateRun::failure_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("entry");
    // A process error noticed while the tool runs, and its log line; -1 for none.
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("errorLine");

    QTest::newRow("device not found")
        << 10
        << "The update process completed but reported an error.Error Code: 10 - DFU device not "
           "found.\nThis can happen if the DFU drivers have not been installed, or is taking "
           "to long to install, or the USB cable has been uplugged.\nThe device may still be "
           "waiting for a firmware update. Make sure the drivers are installed and click "
           "Retry Update."
        << -1 << QString();
    const QString code4 = "The update process completed but reported an error.Error Code: 4";
    QTest::newRow("other code") << 4 << code4 << -1 << QString();
    QTest::newRow("high code")
        << 255 << "The update process completed but reported an error.Error Code: 255" << -1
        << QString();
    // The tool is not killed for these: the run ends when it ends.
    QTest::newRow("read error while running")
        << 4 << code4 << int(QProcess::ReadError) << "Process read error.";
    QTest::newRow("write error while running")
        << 4 << code4 << int(QProcess::WriteError) << "Process write error.";
    QTest::newRow("unknown error while running")
        << 4 << code4 << int(QProcess::UnknownError) << "Process unknown error.";
    QTest::newRow("time-out while running")
        << 4 << code4 << int(QProcess::Timedout) << "Process timed out.";
}

void tst_UpdateRun::failure()
{
    QFETCH(int, code);
    QFETCH(QString, entry);
    QFETCH(int, error);
    QFETCH(QString, errorLine);
    QVERIFY(FakeUpdateTool::place("wait\nexit " + QByteArray::number(code)));

    MainWindow window;
    MainWindowForm *f = start(window, firmware);
    if (error >= 0) {
        QTRY_VERIFY(!FakeUpdateTool::record("pid").isEmpty());
        QVERIFY(QMetaObject::invokeMethod(
            &window, "processError", Q_ARG(QProcess::ProcessError, QProcess::ProcessError(error))));
        QCOMPARE(MainWindowProbe::logEntries(window).last(), errorLine);
        QCOMPARE(f->statusLabel->text(),
                 QString("Status: Updating - Waiting for device to enter DFU Mode"));
        QVERIFY(MainWindowProbe::updating(window));
    }
    QVERIFY(FakeUpdateTool::go());

    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));
    QVERIFY(f->startUpdateButton->isEnabled());
    QVERIFY(f->customFirmwareButton->isEnabled());
    QCOMPARE(MainWindowProbe::logEntries(window).last(), entry);
    QCOMPARE(f->statusLabel->text(), QString(failureStatus));
    QVERIFY(!f->progressBar->isEnabled());
    QVERIFY(window.isVisible());
    QVERIFY(!MainWindowProbe::updating(window));
    QVERIFY(!MainWindowProbe::retryPending(window));
    QVERIFY(!MainWindowProbe::retryTimer(window).isActive());
    QVERIFY(window.close());
}

void tst_UpdateRun::negativeExitCode()
{
    // No real process on this system exits with a negative code, so deliver the notification.
    MainWindow window;
    QVERIFY(QMetaObject::invokeMethod(&window, "processFinished", Q_ARG(int, -1073741510),
                                      Q_ARG(QProcess::ExitStatus, QProcess::NormalExit)));
    QCOMPARE(MainWindowProbe::logEntries(window).last(),
             QString("The update process completed but reported an error.Error Code: "
                     "-1073741510"));
    QVERIFY(QMetaObject::invokeMethod(&window, "processFinished", Q_ARG(int, 0),
                                      Q_ARG(QProcess::ExitStatus, QProcess::CrashExit)));
    QCOMPARE(MainWindowProbe::logEntries(window).last(),
             QString("The update process crashed.Error Code: 0"));
}

void tst_UpdateRun::crash_data()
{
    QTest::addColumn<QByteArray>("death");
    QTest::addColumn<int>("code");
    QTest::newRow("crash") << QByteArray("crash") << FakeUpdateTool::crashCode;
    // The device-not-found exit code, but as a signal: a crash like any other.
    QTest::newRow("signal 10") << QByteArray("signal 10") << 10;
}

void tst_UpdateRun::crash()
{
    QFETCH(QByteArray, death);
    QFETCH(int, code);
#ifdef Q_OS_WIN
    if (death.startsWith("signal"))
        QSKIP("Windows has no POSIX signals");
#endif
    QVERIFY(FakeUpdateTool::place("out Upgrading - Download Phase (3)\\n\n" + death));

    MainWindow window;
    MainWindowForm *f = start(window, firmware);

    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));
    // The error notification came first (retry pending), the finished one last (its status).
    QCOMPARE(f->statusLabel->text(), QString(failureStatus));
    QVERIFY(MainWindowProbe::retryPending(window));
    QVERIFY(!MainWindowProbe::updating(window));
    QVERIFY(!MainWindowProbe::process(window));
    const QStringList log = MainWindowProbe::logEntries(window);
    QCOMPARE(log.last(), QString("The update process crashed.Error Code: %1").arg(code));
    QVERIFY(f->startUpdateButton->isEnabled());
    QVERIFY(f->customFirmwareButton->isEnabled());
    QVERIFY(window.close());
}

void tst_UpdateRun::failedToStart_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("reason");
#ifdef Q_OS_WIN
    // Wine's wording, and Windows' own.
    QTest::newRow("missing") << false << "File not found|cannot find the file";
#else
    QTest::newRow("missing") << false << "No such file or directory";
#endif
    QTest::newRow("not executable") << true << "Permission denied";
}

void tst_UpdateRun::failedToStart()
{
    QFETCH(bool, present);
    QFETCH(QString, reason);
#ifdef Q_OS_WIN
    if (present)
        QSKIP("Windows files have no execute permission");
#endif
    if (present)
        QVERIFY(FakeUpdateTool::place("exit 0", false));

    MainWindow window;
    MainWindowForm *f = start(window, firmware);

    QTRY_COMPARE(f->statusLabel->text(), QString("Status: Update failed"));
    const QStringList log = MainWindowProbe::logEntries(window);
    // The log says why; the user may retry, or choose another file.
    QVERIFY2(log.last().contains(QRegularExpression(reason)), qPrintable(log.last()));
    QCOMPARE(log.at(log.size() - 2), QString("Process failed to start"));
    QVERIFY(log.at(log.size() - 3).startsWith("Process command: "));
    QVERIFY(f->startUpdateButton->isEnabled());
    QCOMPARE(f->startUpdateButton->text(), QString("Retry Update"));
    QVERIFY(f->customFirmwareButton->isEnabled());
    QVERIFY(!MainWindowProbe::updating(window));
    QVERIFY(!MainWindowProbe::process(window));
    QVERIFY(MainWindowProbe::retryPending(window));

    // The retry timer does not relaunch by itself: it stops at its first tick.
    QVERIFY(MainWindowProbe::retryTimer(window).isActive());
    QTRY_VERIFY(!MainWindowProbe::retryTimer(window).isActive());
    QCOMPARE(MainWindowProbe::logEntries(window), log);
    QVERIFY(FakeUpdateTool::record("launches").isEmpty());

    ModalAnswerer answerer;
    answerer.add(ModalAnswerer::press(QMessageBox::Cancel));
    QVERIFY(window.close());
    QVERIFY(answerer.seen().isEmpty());
}

void tst_UpdateRun::retry_data()
{
    QTest::addColumn<QByteArray>("ending");
    QTest::newRow("after a failure") << QByteArray("exit 10");
    QTest::newRow("after a crash") << QByteArray("crash");
}

void tst_UpdateRun::retry()
{
    QFETCH(QByteArray, ending);
    QVERIFY(FakeUpdateTool::place("launch 2 exit 0\n" + ending));

    auto *window = new MainWindow;
    MainWindowForm *f = start(*window, firmware);
    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));
    QCOMPARE(f->statusLabel->text(), QString(failureStatus));

    f->startUpdateButton->click();
    QCOMPARE(MainWindowProbe::logEntries(*window).first(),
             "Update process started. Will send firmware from file: " + firmware);
    QTRY_VERIFY(!window->isVisible());
    QCOMPARE(FakeUpdateTool::record("launches"), QByteArray("run\nrun\n"));
    QCOMPARE(MainWindowProbe::logEntries(*window).count("Setting device to DFU Mode"), 1);
    QCOMPARE(MainWindowProbe::logEntries(*window).last(), QString("Update Successful"));
    delete window;
}

void tst_UpdateRun::chooseDevice_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("choice"); // -1: Cancel

    const QByteArray two = "out DFU device 1-1: 0483:df11, serial \"3262355B\", bcdDevice 2200, "
                           "\"@Internal Flash  /0x08000000/064*0002Kg\"\\n\n"
                           "out DFU device 1-2.4: 0483:df11, serial \"3262355B\", bcdDevice 2200, "
                           "\"@Internal Flash  /0x08000000/064*0002Kg\"\\n";
    const QStringList twoRows = {"1-1 | 0483:df11 | 3262355B", "1-2.4 | 0483:df11 | 3262355B"};
    QTest::newRow("second of two, same serial") << two << 7 << twoRows << 1;
    QTest::newRow("cancelled") << two << 7 << twoRows << -1;
    QTest::newRow("in pieces, CR LF, last line unended")
        << QByteArray("out DFU device list:\\r\\nDFU device 3-1: 0483:df11, ser\nwait\n"
                      "out ial \"B\", bcdDevice 0200, \"@Flash\"\\r\\n"
                      "DFU device 3-2: 1209:70b1, serial \"\", bcdDevice 0100, \"@X\"")
        << 7 << QStringList {"3-1 | 0483:df11 | B", "3-2 | 1209:70b1 | "} << 1;
    QTest::newRow("none named") << QByteArray("out several devices\\n") << 7 << QStringList() << -1;
    QTest::newRow("named, another code") << two << 4 << QStringList() << -1;
}

void tst_UpdateRun::chooseDevice()
{
    QFETCH(QByteArray, output);
    QFETCH(int, code);
    QFETCH(QStringList, rows);
    QFETCH(int, choice);
    QByteArray script;
    for (const QByteArray &step : output.split('\n'))
        script += "launch 1 " + step + '\n';
    QVERIFY(FakeUpdateTool::place(script + "launch 1 exit " + QByteArray::number(code)));

    // No chooser is expected without rows: one would stay open.
    QStringList shown;
    ModalAnswerer answerer;
    if (!rows.isEmpty())
        answerer.add([&](QWidget *w) {
            auto *list = w->findChild<QTreeWidget *>();
            QVERIFY(list);
            for (QTreeWidgetItem *item : list->findItems("*", Qt::MatchWildcard))
                shown << item->text(0) + " | " + item->text(1) + " | " + item->text(2);
            if (choice >= 0 && choice < shown.size())
                list->topLevelItem(choice)->setSelected(true);
            const QString pictures = qEnvironmentVariable("BRINDLEFLASH_SCREENSHOTS");
            if (choice >= 0 && !pictures.isEmpty())
                w->grab().save(pictures + "/devicechooser.png");
            for (auto *button : w->findChildren<QPushButton *>()) {
                if (button->text().remove('&') == (choice < 0 ? "Cancel" : "Update"))
                    button->click();
            }
        });
    auto *window = new MainWindow;
    MainWindowForm *f = start(*window, firmware);
    if (output.contains("wait")) {
        QTRY_VERIFY(f->detailText->toPlainText().contains(", ser\n"));
        QVERIFY(FakeUpdateTool::go());
    }
    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));
    if (!rows.isEmpty())
        QTRY_VERIFY(answerer.idle());
    QCOMPARE(shown, rows);

    if (choice >= 0) {
        QTRY_VERIFY(!window->isVisible());
        const QString port = rows.at(choice).section(" | ", 0, 0);
        QVERIFY(MainWindowProbe::logEntries(*window).contains("Device chosen: USB port " + port));
        QCOMPARE(FakeUpdateTool::record("devices"), "-\n" + port.toUtf8() + '\n');
    } else {
        QVERIFY(!QApplication::activeModalWidget());
        QCOMPARE(f->statusLabel->text(), QString(failureStatus));
        QVERIFY(MainWindowProbe::logEntries(*window).last().endsWith(" Code: "
                                                                     + QString::number(code)));
        f->startUpdateButton->click();
        QTRY_COMPARE(FakeUpdateTool::record("devices"), QByteArray("-\n-\n"));
    }
    delete window;
}

void tst_UpdateRun::secondStartIgnored()
{
    QVERIFY(FakeUpdateTool::place("wait\nexit 1"));

    MainWindow window;
    MainWindowForm *f = start(window, firmware);
    QTRY_VERIFY(!FakeUpdateTool::record("pid").isEmpty());
    QProcess *process = MainWindowProbe::process(window);
    QVERIFY(process);
    const QString log = f->detailText->toPlainText();

    QVERIFY(QMetaObject::invokeMethod(&window, "startUpgrade"));
    QCOMPARE(f->detailText->toPlainText(), log);
    QCOMPARE(MainWindowProbe::process(window), process);

    QVERIFY(FakeUpdateTool::go());
    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));
    QCOMPARE(FakeUpdateTool::record("launches"), QByteArray("run\n"));
    QVERIFY(window.close());
}

void tst_UpdateRun::closeKillsTool()
{
    QVERIFY(FakeUpdateTool::place("out Upgrading - Erase Phase (5)\\n\nwait"));

    auto *window = new MainWindow;
    MainWindowForm *f = start(*window, firmware);
    QTRY_VERIFY(f->detailText->toPlainText().contains("Erase Phase (5)"));
    const qint64 pid = FakeUpdateTool::pid();
    QVERIFY(pid > 0);

    ModalAnswerer answerer;
    answerer.add(ModalAnswerer::press(QMessageBox::Yes));
    answerer.add(ModalAnswerer::press(QMessageBox::Yes));
    QVERIFY(window->close());
    QCOMPARE(answerer.seen().size(), 2);
    QVERIFY(FakeUpdateTool::running(pid));

    // Tear-down must kill the tool without any process slot writing to the window.
    bool written = false;
    connect(f->detailText, &QPlainTextEdit::textChanged, [&written] { written = true; });
    connect(f->statusLabel, &QObject::objectNameChanged, [&written] { written = true; });
    delete window;
    QVERIFY(!written);
    QTRY_VERIFY(!FakeUpdateTool::running(pid));
}

void tst_UpdateRun::arguments_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("quotes") << "my fw \"v2\" Größe é.dfu";
    QTest::newRow("shell and cmd signs") << "it's 100% fw & ^more^ %PATH%.dfu";
    QTest::newRow("outside the ANSI code page") << "υλικολογισμικό 固件 v1.dfu";
}

void tst_UpdateRun::arguments()
{
    QFETCH(QString, name);
#ifdef Q_OS_WIN
    if (name.contains('"'))
        QSKIP("Windows file names cannot hold quotes");
#endif
    QVERIFY(FakeUpdateTool::place("exit 3"));
    const QString odd = work->filePath(name);
    QVERIFY(QFile::copy(firmware, odd));

    MainWindow window;
    MainWindowForm *f = start(window, odd);
    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));

    QCOMPARE(QString::fromUtf8(FakeUpdateTool::record("args")),
             "-c\n-d\n--o\n--fn\n" + odd + "\n-l\n");
    const QStringList log = MainWindowProbe::logEntries(window);
    QCOMPARE(log.at(3),
             "Process command: \"" + QCoreApplication::applicationDirPath()
                 + "/updateTool/DfuSeCommand.exe\" -c -d --o --fn \"" + odd + "\" -l");
    QVERIFY(window.close());
}

void tst_UpdateRun::standardError()
{
    QVERIFY(FakeUpdateTool::place("err first complaint\nwait\nerr second\\0after zero\nexit 2"));

    MainWindow window;
    MainWindowForm *f = start(window, firmware);
    QTRY_VERIFY(f->detailText->toPlainText().contains("first complaint"));
    QVERIFY(FakeUpdateTool::go());
    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));

    const QStringList log = MainWindowProbe::logEntries(window);
    QCOMPARE(log.at(4), QString("Process Error Output:\nfirst complaint"));
    QCOMPARE(log.at(5), QString("Process Error Output:\nsecond\uFFFDafter zero"));
    QCOMPARE(log.at(6),
             QString("The update process completed but reported an error.Error Code: 2"));
    QVERIFY(window.close());
}

QTEST_MAIN(tst_UpdateRun)
#include "tst_updaterun.moc"
