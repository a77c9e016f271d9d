// The tool's dfu-util part where no simulated device can take it: a fake dfu-util that replays
// recorded output cut short, crashes, hangs, floods or says odd things (and stores what it
// "reads back").
#include "tests/dfusecommand/fakedfuutiltest.h"

#include "dfuse/dfusewriter.h"
#include "dfusecommand/dfuutilbackend.h"
#include "dfusecommand/dfuutiloutput.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_DfuUtil : public FakeDfuUtilTest
{
    Q_OBJECT

private slots:
    void outputInPieces();
    void downloads_data();
    void downloads();
    void failures_data();
    void failures();
    void waiting_data();
    void waiting();
    void downloadsTheCheckedBytes();
};

void tst_DfuUtil::outputInPieces()
{
    // The format as recorded from dfu-util 0.11, pinned down once.
    QCOMPARE(bar("Download", 1024, 2500),
             QByteArray("\rDownload\t[==========               ]  40%         1024 bytes"));

    const QByteArray out = banner + stage("Erase   ", 2500) + stage("Download", 2500)
        + "Submitting leave request...\n" + bar("Upload", 512, 2048) + " failed!\n"
        + bar("Download", 1024, 3000);
    const auto summary = [](const QVector<DfuUtilOutput::Record> &records) {
        QStringList lines;
        for (const DfuUtilOutput::Record &record : records) {
            const QString stage = QString("EDU").at(record.stage);
            if (record.kind == DfuUtilOutput::Record::Progress)
                lines << stage + QString::number(record.bytes);
            else if (!record.text.startsWith("Copyright") && !record.text.startsWith("This pro")
                     && !record.text.startsWith("Please"))
                lines << QString::fromLatin1(record.text);
        }
        return lines.join(", ");
    };
    // A finished or failed bar is a plain line.
    const QString expected = "dfu-util 0.11, E0, E0, E1024, E2048, E2500, Erase done., D0, D0, "
                             "D1024, D2048, D2500, Download done., Submitting leave request..., "
                             "U512, Upload failed!";

    DfuUtilOutput whole;
    QCOMPARE(summary(whole.feed(out)), expected);
    // The last update has no separator behind it until dfu-util ends.
    QCOMPARE(summary(whole.finish()), QString("D1024"));

    for (int cut = 1; cut < out.size(); ++cut) {
        DfuUtilOutput split;
        QVector<DfuUtilOutput::Record> records = split.feed(out.left(cut));
        records += split.feed(out.mid(cut));
        records += split.finish();
        QVERIFY2(summary(records) == expected + ", D1024",
                 qPrintable(QString("cut at %1").arg(cut)));
    }
    DfuUtilOutput byteByByte;
    QVector<DfuUtilOutput::Record> records;
    for (char c : out)
        records += byteByByte.feed(QByteArray(1, c));
    records += byteByByte.finish();
    QCOMPARE(summary(records), expected + ", D1024");

    // A line without end is cut; half a bar, left by a dfu-util that died, is no text.
    DfuUtilOutput flood;
    records.clear();
    for (int i = 0; i < 100; ++i)
        records += flood.feed(QByteArray(1000, 'x'));
    records += flood.feed("\n" + bar("Download", 1024, 3000).left(20));
    records += flood.finish();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().text,
             QByteArray(DfuUtilOutput::MaximumTextSize, 'x') + DfuUtilOutput::CutMark);
}

void tst_DfuUtil::downloads_data()
{
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<bool>("named");
    QTest::addColumn<QStringList>("expectedCalls");
    QTest::addColumn<QString>("phases");

    QTest::newRow("two targets, three elements")
        << QStringList {"0@0x08000000:3000", "1@0x1FFF7800:16", "0@0x08004000:2000"} << true
        << QStringList {"-l",
                        "-d ,0483:df11 -a 0 -D %COPY%",
                        "-d ,0483:df11 -a 1 -D %COPY%",
                        "-d ,0483:df11 -a 0 -s 0x08000000:3000 -U %TMP%/upload-0-0x08000000.bin",
                        "-d ,0483:df11 -a 0 -s 0x08004000:2000 -U %TMP%/upload-0-0x08004000.bin",
                        "-d ,0483:df11 -a 1 -s 0x1FFF7800:16 -U %TMP%/upload-1-0x1FFF7800.bin",
                        "-d ,0483:df11 -a 0 -s 0x08000000:leave"}
        << "E0 E20 E40 E59 D0 D20 D40 D59 D80 D99 D100 L";
    // dfu-util never calls an empty element done; the next one must still be counted.
    QTest::newRow("an empty element, any device")
        << QStringList {"0@0x08000000:2048", "0@0x08010000:0", "0@0x08020000:100"} << false
        << QStringList {"-l", "-a 0 -D %COPY%",
                        "-a 0 -s 0x08000000:2048 -U %TMP%/upload-0-0x08000000.bin",
                        "-a 0 -s 0x08020000:100 -U %TMP%/upload-0-0x08020000.bin",
                        "-a 0 -s 0x08000000:leave"}
        << "E0 E47 E95 D0 D47 D95 D100 L";
}

void tst_DfuUtil::downloads()
{
    QFETCH(QStringList, images);
    QFETCH(bool, named);
    QFETCH(QStringList, expectedCalls);
    QFETCH(QString, phases);

    const DfuSeFile file = layout(images, named);
    QList<FakeCall> script = {listingOf({"0483:df11/5/0", "0483:df11/5/1"})};
    script << downloadOf(file, 0);
    if (file.targets.size() > 1)
        script << downloadOf(file, 1);
    script << uploadsOf(file) << leaveCall();
    writeScript(script);

    const Run run = tool({"-c", "-d", "--o", "--fn", firmware(file), "-l"});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(calls(), expectedCalls);
    QCOMPARE(phaseSequence(run.out), phases);
    QCOMPARE(run.out.count("\nVerified "), uploadsOf(file).size());
    QVERIFY(run.out.contains("\nFlash verified: every byte matches the file\n"));
    QVERIFY(run.out.contains("\ndfu-util: Download done.\n"));
    for (const QByteArray &line : outputLines(run.out))
        QVERIFY2((phaseLine().match(line).hasMatch() || line == "Leaving DFU Mode..."
                  || !looksLikePhase(line))
                     && !line.contains("?["),
                 line.constData());
    // dfu-util reads the whole file through the path it is given, without empty elements,
    // which it cannot take.
    DfuSeFile sent = file;
    for (DfuSeTarget &target : sent.targets)
        target.elements.erase(
            std::remove_if(target.elements.begin(), target.elements.end(),
                           [](const DfuSeElement &e) { return e.data.isEmpty(); }),
            target.elements.end());
    QCOMPARE(run.out.contains("holds no bytes: it is left out of the download"),
             sent.elementCount() < file.elementCount());
    const QByteArray bytes = DfuSeWriter::write(sent);
    QFile given(scriptFile(1, ".given"));
    QVERIFY(given.open(QIODevice::ReadOnly));
    QVERIFY(given.readAll() == bytes);
}

void tst_DfuUtil::failures_data()
{
    QTest::addColumn<QList<FakeCall>>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("phases");

    const DfuSeFile file = layout(twoTargets, true);
    const FakeCall first = downloadOf(file, 0);
    const FakeCall second = downloadOf(file, 1);
    const QByteArray cut = upTo(first.out, "Download\t[========");

    QTest::newRow("no access") << QList<FakeCall> {{"", cannotOpen + noDevice, "74"}} << 6
                               << accessAdvice << "E0";
    QTest::newRow("crash") << QList<FakeCall> {{cut, "", "crash"}} << 4
                           << "dfu-util crashed while downloading alternate setting 0"
                           << "E0 E33 E67 E99 D0 D33";
    QTest::newRow("silent download") << QList<FakeCall> {{cut, "", "hang"}} << 4
                                     << "dfu-util stopped responding while downloading "
                                        "alternate setting 0: it printed nothing for 3 s"
                                     << "E0 E33 E67 E99 D0 D33";
    // Only the end of standard error is kept, and a message still comes of it.
    QTest::newRow("error after a flood of standard error")
        << QList<FakeCall> {{cut, QByteArray(300000, 'x') + "\n" + statusError, "74"}} << 4
        << "dfu-util: Error during download get_status. The firmware is incomplete"
        << "E0 E33 E67 E99 D0 D33";
    QTest::newRow("ends early without error")
        << QList<FakeCall> {{upTo(first.out, "Download\t[================="), "", "0"}} << 4
        << "after downloading 0 of the 1 elements of alternate setting 0"
        << "E0 E33 E67 E99 D0 D33 D67";
    QTest::newRow("device gone before the second target")
        << QList<FakeCall> {first, {"", noDevice, "74"}} << 10
        << "disappeared while downloading alternate setting 1. Its firmware is incomplete"
        << "E0 E33 E67 E99 D0 D33 D67 D99";
    const QList<FakeCall> uploads = uploadsOf(file);
    const QByteArray stored = file.targets.at(0).elements.at(0).data;
    const QString downloaded = "E0 E33 E67 E99 D0 D33 D67 D99 D100";
    // Nothing was compared, for other reasons than the device's refusal: no leave request.
    const QString notVerified = "The flash was not verified: %1. The device stays in DFU mode: "
                                "retry the update.";
    QTest::newRow("short read-back")
        << QList<FakeCall> {first, second, uploadOf(stored.left(1000), 1000)} << 4
        << notVerified.arg("the device returned 1000 of the 3000 bytes at 0x08000000")
        << downloaded;
    QTest::newRow("no read-back file") << QList<FakeCall> {first, second, {banner, "", ""}} << 4
                                       << notVerified.arg("dfu-util left nothing to compare at "
                                                          "0x08000000 "
                                                          + QString(noSuchFile))
                                       << downloaded;
    QTest::newRow("crash during the read-back")
        << QList<FakeCall> {first, second, {upTo(uploads.at(0).out, "Upload"), "", "crash"}} << 4
        << notVerified.arg("dfu-util crashed while reading back the element at 0x08000000")
        << downloaded;
    QTest::newRow("device gone before the read-back")
        << QList<FakeCall> {first, second, {"", noDevice, "74"}} << 4
        << notVerified.arg("the device went away while reading back the element at 0x08000000")
        << downloaded;
    // The layout calls it readable, and the device reads the rest: a fault, not protection.
    QTest::newRow("read-back answered with an error status")
        << QList<FakeCall> {first, second, {banner, errorStatus, "74"}, uploads.at(1)} << 4
        << "The flash was not verified: the device refused to read back 0x08000000 to 0x08000BB7 "
           "(dfu-util could not read back the element at 0x08000000: dfu-util: SET_ADDRESS not "
           "correctly executed), which its layout says can be read, while it read the rest."
        << downloaded;
    QTest::newRow("leave request unanswered")
        << (QList<FakeCall> {first, second} + uploads
            + QList<FakeCall> {leaveCall(statusError, "74")})
        << 0
        << "did not answer the request to leave DFU mode (dfu-util: Error during download "
           "get_status)"
        << downloaded + " L";
    QTest::newRow("leave request never sent")
        << (QList<FakeCall> {first, second} + uploads + QList<FakeCall> {{"", noDevice, "74"}}) << 0
        << "could not be asked to leave DFU mode" << downloaded;
}

void tst_DfuUtil::failures()
{
    QFETCH(QList<FakeCall>, script);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, phases);

    writeScript(QList<FakeCall> {listingOf({"0483:df11/5/0", "0483:df11/5/1"})} + script);
    const Run run = tool({"-c", "-d", "--o", "--fn", firmware(layout(twoTargets, true)), "-l"});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QCOMPARE(phaseSequence(run.out), phases);
    QCOMPARE(calls().size(), script.size() + 1);
    QVERIFY(run.err.size() < DfuUtilBackend::MaximumErrorSize + 1024);
}

void tst_DfuUtil::waiting_data()
{
    QTest::addColumn<QList<FakeCall>>("listings");
    QTest::addColumn<bool>("named");
    QTest::addColumn<QString>("wait");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("polls");

    const FakeCall nothing {banner, "", ""};
    const FakeCall device = listingOf({"0483:df11/5/0", "0483:df11/5/1"});
    QTest::newRow("there at once") << QList<FakeCall> {device} << true << "10" << 0
                                   << "Found the DFU device 0483:DF11 (USB path 1-5, device "
                                      "number 5, alternate settings 0, 1)"
                                   << 1;
    // An empty value means the default wait.
    QTest::newRow("appears on the third look")
        << QList<FakeCall> {nothing, nothing, device} << true << "" << 0
        << "Waiting up to 10 s for the DFU device 0483:DF11 to appear" << 3;
    // The same refusal on every look, whatever libusb gives as its reason.
    const QList<QPair<QByteArray, QString>> refusals
        = {{cannotOpen, deniedAccess}, {notSupported, deniedNoDriver}};
    for (const auto &refusal : refusals) {
        QList<FakeCall> denied;
        for (int i = 0; i < 12; ++i)
            denied << FakeCall {banner, refusal.first, ""};
        QTest::newRow(refusal.first.trimmed().mid(refusal.first.lastIndexOf('(')).constData())
            << denied << true << "10" << 6
            << "The DFU device 0483:DF11 cannot be opened " + refusal.second << -1;
    }
    // A listing slower than the wait: the message gives the time it really took.
    FakeCall slow = listingOf({"1234:5678/3/0"});
    slow.out += slow.out.mid(banner.size()).repeated(150);
    QTest::newRow("slow listing") << QList<FakeCall> {slow} << true << "0" << 10
                                  << " s (the wait was set to 0 s, but listing the devices took "
                                     "longer). Connect the device"
                                  << 1;
    QTest::newRow("file for any device")
        << QList<FakeCall> {listingOf({"1234:5678/3/0", "1234:5678/3/1"})} << false << "10" << 0
        << "Found the DFU device 1234:5678" << 1;
    QTest::newRow("file for any device, device without its alternate setting")
        << QList<FakeCall> {listingOf({"1234:5678/3/0"})} << false << "0" << 4
        << "The DFU device 1234:5678 has no alternate setting 1" << 1;
    QTest::newRow("listing fails")
        << QList<FakeCall> {{banner, "dfu-util: unable to initialize libusb: LIBUSB_ERROR_OTHER\n",
                             "74"}}
        << true << "0" << 5
        << "dfu-util cannot list the USB devices (dfu-util: unable to initialize libusb: "
           "LIBUSB_ERROR_OTHER)"
        << 1;
    QTest::newRow("listing hangs, the wait goes on")
        << QList<FakeCall> {{banner, "", "hang"}, device} << true << "15" << 0
        << "dfu-util could not list the USB devices: dfu-util -l was still running after 10 s "
           "and was ended"
        << 2;
}

void tst_DfuUtil::waiting()
{
    QFETCH(QList<FakeCall>, listings);
    QFETCH(bool, named);
    QFETCH(QString, wait);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(int, polls);

    writeScript(listings);
    QElapsedTimer clock;
    clock.start();
    const Run run = tool({"-c", "--fn", firmware(layout(twoTargets, named))}, wait);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2((exitCode == 0 ? run.out : run.err).contains(message.toUtf8()),
             (run.out + run.err).constData());
    QCOMPARE(calls().filter(QRegularExpression("^-l$")), calls());
    if (polls > 0)
        QCOMPARE(calls().size(), polls);
    // Waiting for access to be granted must not take the whole wait.
    if (exitCode == 6)
        QVERIFY(clock.elapsed() < 8000);
}

// The tool reads the file once: what changes on disk after the check never reaches dfu-util.
void tst_DfuUtil::downloadsTheCheckedBytes()
{
    const DfuSeFile file = layout(twoTargets, true);
    FakeCall listing = listingOf({"0483:df11/5/0", "0483:df11/5/1"});
    listing.code = "hang";
    writeScript(QList<FakeCall> {listing, downloadOf(file, 0), downloadOf(file, 1)}
                + uploadsOf(file) + QList<FakeCall> {leaveCall()});
    const QString path = firmware(file);

    QProcess process;
    process.setProcessEnvironment(environment("10"));
    process.start(toolPath, {"-c", "-d", "--fn", path, "-l"});
    QTRY_VERIFY(QFile::exists(scriptFile(0, ".pid")));
    DfuSeFile other = file;
    other.targets[0].elements[0].data.fill('!');
    QFile replaced(path);
    QVERIFY(replaced.open(QIODevice::WriteOnly));
    replaced.write(DfuSeWriter::write(other));
    replaced.close();
    QFile go(scriptFile(0, ".go"));
    QVERIFY(go.open(QIODevice::WriteOnly));
    go.close();

    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    for (int call : {1, 2}) {
        QFile given(scriptFile(call, ".given"));
        QVERIFY(given.open(QIODevice::ReadOnly));
        QVERIFY(given.readAll() == DfuSeWriter::write(file));
    }
}

QTEST_GUILESS_MAIN(tst_DfuUtil)
#include "tst_dfuutil.moc"
