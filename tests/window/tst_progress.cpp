// Phase and percentage recognition in the update tool's standard output.
#include "fakeupdatetool.h"
#include "tests/mainwindowprobe.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using Report = QPair<QString, int>;
using Reports = QList<Report>;

Q_DECLARE_METATYPE(Reports)

// The percentage reports, each with its status text. The bar announces no switch to its
// busy indicator, so tests check that one through the final state.
class StatusRecorder
{
public:
    explicit StatusRecorder(MainWindow &window)
    {
        MainWindowForm *f = MainWindowProbe::form(window);
        QObject::connect(f->progressBar, &QProgressBar::valueChanged, f->progressBar,
                         [this, f](int value) {
                             if (f->progressBar->maximum() == 100)
                                 reports.append({f->statusLabel->text().mid(8), value});
                         });
    }
    Reports reports;
};

template<int N> static QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

class tst_Progress : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void recognition_data();
    void recognition();
    void reportsInTableOrder_data();
    void reportsInTableOrder();
    void anySplitGivesSameReports();
    void logsWholeChunk();
    void realProcess_data();
    void realProcess();
};

void tst_Progress::cleanup()
{
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_Progress::recognition_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QByteArray>("remaining");

    const QString ready = "Status: Ready";
    const QString erase = "Status: Upgrading - Erase Phase";
    const QString download = "Status: Upgrading - Download Phase";

    QTest::newRow("erase line") << QByteArrayList {"Upgrading - Erase Phase (37)\r\n"} << erase
                                << 37 << false << QByteArray("\r\n");
    QTest::newRow("line across chunks") << QByteArrayList {"Upgrading - Download Phase (4", "2)\n"}
                                        << download << 42 << false << QByteArray("\n");
    QTest::newRow("cut before the parenthesis")
        << QByteArrayList {"Upgrading - Download Phase (42"} << ready << 0 << false
        << QByteArray("Upgrading - Download Phase (42");
    QTest::newRow("leaving") << QByteArrayList {"done\nLeaving DFU Mode...\n"}
                             << "Status: Upgrading - Leaving DFU Mode" << 0 << true
                             << QByteArray("\n");
    QTest::newRow("blank before number")
        << QByteArrayList {"Upgrading - Erase Phase ( 5)"} << ready << 0 << false
        << QByteArray("Upgrading - Erase Phase ( 5)");
    QTest::newRow("percent sign") << QByteArrayList {"Upgrading - Erase Phase (5%)"} << ready << 0
                                  << false << QByteArray("Upgrading - Erase Phase (5%)");
    QTest::newRow("wrong case") << QByteArrayList {"upgrading - erase phase (5)"} << ready << 0
                                << false << QByteArray("upgrading - erase phase (5)");
    QTest::newRow("hexadecimal") << QByteArrayList {"Upgrading - Download Phase (0x1A)"} << download
                                 << 26 << false << QByteArray();
    QTest::newRow("plus sign") << QByteArrayList {"Upgrading - Download Phase (+7)"} << download
                               << 7 << false << QByteArray();
    // Out of the bar's range: the bar keeps its value.
    QTest::newRow("above 100") << QByteArrayList {"Upgrading - Erase Phase (40)",
                                                  "Upgrading - Erase Phase (150)"}
                               << erase << 40 << false << QByteArray();
    QTest::newRow("wraps to -1") << QByteArrayList {"Upgrading - Erase Phase (4294967295)"} << erase
                                 << 0 << true << QByteArray();
    QTest::newRow("download then erase")
        << QByteArrayList {"Upgrading - Download Phase (9)\nUpgrading - Erase Phase (3)\n"} << erase
        << 3 << false << QByteArray("\n");
    QTest::newRow("empty chunk") << QByteArrayList {""} << ready << 0 << false << QByteArray();
    // Only the last 64 KiB of unrecognised output are kept: a malformed line that has left them
    // no longer blocks its kind, and a line cut off behind a long stretch is still found.
    const QByteArray stretch = QByteArray("ordinary line\n").repeated(5000);
    QTest::newRow("malformed line left behind")
        << QByteArrayList {"Upgrading - Erase Phase (x)\n" + stretch,
                           "Upgrading - Erase Phase (12)\n"}
        << erase << 12 << false << QByteArray("\n");
    QTest::newRow("line cut behind a long stretch")
        << QByteArrayList {stretch + "Upgrading - Download Phase (4", "2)\n"} << download << 42
        << false << QByteArray("\n");
}

void tst_Progress::recognition()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QString, status);
    QFETCH(int, value);
    QFETCH(bool, busy);
    QFETCH(QByteArray, remaining);

    MainWindow window;
    MainWindowForm *f = MainWindowProbe::form(window);
    for (const QByteArray &chunk : chunks)
        MainWindowProbe::feedOutput(window, chunk);

    QCOMPARE(f->statusLabel->text(), status);
    QCOMPARE(f->progressBar->maximum() == 0, busy);
    if (!busy)
        QCOMPARE(f->progressBar->value(), value);
    QCOMPARE(MainWindowProbe::outputBuffer(window), remaining);
    // Painting may lag a little behind a flood, but never stops.
    QTRY_VERIFY(f->progressBar->updatesEnabled());
}

void tst_Progress::reportsInTableOrder_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<Reports>("expected");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QByteArray>("remaining");

    QTest::newRow("three lines") << QByteArray(
        "Upgrading - Erase Phase (100)\nUpgrading - Download Phase (0)\n"
        "Upgrading - Download Phase (5)\n")
                                 << Reports {{"Upgrading - Erase Phase", 100},
                                             {"Upgrading - Download Phase", 0},
                                             {"Upgrading - Download Phase", 5}}
                                 << "Status: Upgrading - Download Phase" << QByteArray("\n");
    // The first erase text is followed by no number: no erase line counts in that pass,
    // but the download line behind it does, and everything before it goes.
    QTest::newRow("malformed erase first")
        << QByteArray("Upgrading - Erase Phase (x)\nUpgrading - Erase Phase (50)\n"
                      "Upgrading - Download Phase (7)\nLeaving DFU Mode...")
        << Reports {{"Upgrading - Download Phase", 7}} << "Status: Upgrading - Leaving DFU Mode"
        << QByteArray();
    QTest::newRow("download beats an earlier leaving")
        << QByteArray("Leaving DFU Mode...\nUpgrading - Download Phase (64)\n")
        << Reports {{"Upgrading - Download Phase", 64}} << "Status: Upgrading - Download Phase"
        << QByteArray("\n");
}

void tst_Progress::reportsInTableOrder()
{
    QFETCH(QByteArray, output);
    QFETCH(Reports, expected);
    QFETCH(QString, status);
    QFETCH(QByteArray, remaining);

    MainWindow window;
    StatusRecorder recorder(window);
    MainWindowProbe::feedOutput(window, output);
    QCOMPARE(recorder.reports, expected);
    QCOMPARE(MainWindowProbe::form(window)->statusLabel->text(), status);
    QCOMPARE(MainWindowProbe::outputBuffer(window), remaining);
    QCOMPARE(MainWindowProbe::logEntries(window).size(), 1);
}

void tst_Progress::anySplitGivesSameReports()
{
    const QByteArray output = "Connecting\r\nUpgrading - Erase Phase (10)\r\n"
                              "Upgrading - Erase Phase (60)\r\nelement 0x08000000 Upgrading - "
                              "Download Phase (0x1A)\r\nUpgrading - Download Phase (99)\r\n"
                              "Leaving DFU Mode...\r\ndone";

    MainWindow whole;
    StatusRecorder wholeRecorder(whole);
    MainWindowProbe::feedOutput(whole, output);
    const Reports expected = wholeRecorder.reports;
    QCOMPARE(expected.size(), 4);
    QCOMPARE(MainWindowProbe::form(whole)->statusLabel->text(),
             QString("Status: Upgrading - Leaving DFU Mode"));

    for (int at = 1; at < output.size(); ++at) {
        MainWindow window;
        StatusRecorder recorder(window);
        MainWindowProbe::feedOutput(window, output.left(at));
        MainWindowProbe::feedOutput(window, output.mid(at));
        QVERIFY2(recorder.reports == expected, qPrintable(QString::number(at)));
        QCOMPARE(MainWindowProbe::form(window)->progressBar->maximum(), 0);
        QCOMPARE(MainWindowProbe::outputBuffer(window), QByteArray("\r\ndone"));
    }

    MainWindow window;
    StatusRecorder recorder(window);
    for (char byte : output)
        MainWindowProbe::feedOutput(window, QByteArray(1, byte));
    QCOMPARE(recorder.reports, expected);
    QCOMPARE(MainWindowProbe::outputBuffer(window), QByteArray("\r\ndone"));
}

void tst_Progress::logsWholeChunk()
{
    MainWindow window;
    const QByteArray chunk
        = bytes("ab\0cd\xff Upgrading - Erase\0 Phase (1)\nUpgrading - Erase Phase (9)\n");
    MainWindowProbe::feedOutput(window, chunk);
    QCOMPARE(MainWindowProbe::logEntries(window),
             QStringList("Process Output:\nab\uFFFDcd\uFFFD Upgrading - Erase\uFFFD Phase (1)\n"
                         "Upgrading - Erase Phase (9)\n"));
    QCOMPARE(MainWindowProbe::form(window)->statusLabel->text(),
             QString("Status: Upgrading - Erase Phase"));
    QCOMPARE(MainWindowProbe::form(window)->progressBar->value(), 9);
}

void tst_Progress::realProcess_data()
{
    QTest::addColumn<QByteArray>("lineEnd");
    QTest::newRow("LF") << QByteArray("\\n");
    QTest::newRow("CR LF") << QByteArray("\\r\\n");
}

void tst_Progress::realProcess()
{
    QFETCH(QByteArray, lineEnd);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString firmware = work.filePath("firmware.dfu");
    QFile(firmware).open(QIODevice::WriteOnly);
    QVERIFY(FakeUpdateTool::place("out Upgrading - Download Phase (4\nwait\nout 2)" + lineEnd
                                  + "\nwait\nout Leaving DFU Mode..." + lineEnd
                                  + "\nwait\nexit 7"));

    MainWindow window;
    window.show();
    MainWindowForm *f = MainWindowProbe::form(window);
    MainWindowProbe::firmwareFile(window) = firmware;
    f->startUpdateButton->click();

    QTRY_COMPARE(MainWindowProbe::outputBuffer(window),
                 QByteArray("Upgrading - Download Phase (4"));
    QCOMPARE(f->statusLabel->text(),
             QString("Status: Updating - Waiting for device to enter DFU Mode"));
    // Nothing new to read: no entry.
    const int entries = MainWindowProbe::logEntries(window).size();
    QVERIFY(QMetaObject::invokeMethod(&window, "processReadyReadSTD"));
    QCOMPARE(MainWindowProbe::logEntries(window).size(), entries);

    QVERIFY(FakeUpdateTool::go());
    QTRY_COMPARE(f->statusLabel->text(), QString("Status: Upgrading - Download Phase"));
    QCOMPARE(f->progressBar->value(), 42);
    QCOMPARE(MainWindowProbe::logEntries(window).last(), QString("Process Output:\n2)\n"));
    QVERIFY(FakeUpdateTool::go());
    QTRY_COMPARE(f->statusLabel->text(), QString("Status: Upgrading - Leaving DFU Mode"));
    QCOMPARE(f->progressBar->maximum(), 0);
    QVERIFY(FakeUpdateTool::go());
    QTRY_COMPARE(f->startUpdateButton->text(), QString("Retry Update"));

    // Once the run is over the slot has no process to read from.
    const QStringList log = MainWindowProbe::logEntries(window);
    QVERIFY(QMetaObject::invokeMethod(&window, "processReadyReadSTD"));
    QCOMPARE(MainWindowProbe::logEntries(window), log);
    QVERIFY(window.close());
}

QTEST_MAIN(tst_Progress)
#include "tst_progress.moc"
