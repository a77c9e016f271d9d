// The update tool where no simulated device can take it: a fake dfu-util that replays recorded
// output cut short, crashes, hangs, floods or says odd things (and stores what it "reads back"),
// the real one with no device attached, and the udev rule that grants device access.
#include "tests/toolprocess.h"

#include "dfuse/dfusefile.h"
#include "dfuse/dfusewriter.h"
#include "dfusecommand/dfuutilbackend.h"
#include "dfusecommand/dfuutiloutput.h"
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

struct FakeCall
{
    FakeCall(const QByteArray &out = {}, const QByteArray &err = {}, const QByteArray &code = {},
             const QByteArray &upload = {})
        : out(out)
        , err(err)
        , code(code)
        , upload(upload)
    { }

    QByteArray out;
    QByteArray err;
    QByteArray code;
    QByteArray upload;
};
Q_DECLARE_METATYPE(FakeCall)

namespace {

const QByteArray banner = "dfu-util 0.11\n\n"
                          "Copyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n"
                          "Copyright 2010-2021 Tormod Volden and Stefan Schmidt\n"
                          "This program is Free Software and has ABSOLUTELY NO WARRANTY\n"
                          "Please report bugs to http://sourceforge.net/p/dfu-util/tickets/\n\n";
const QByteArray noDevice = "dfu-util: No DFU capable USB device available\n";
const QByteArray cannotOpen
    = "dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 (LIBUSB_ERROR_ACCESS)\n";
const QByteArray notSupported = "dfu-util: Cannot open DFU device 0483:df11 found on devnum 7 "
                                "(LIBUSB_ERROR_NOT_SUPPORTED)\n";
// What the user is told to do differs: udev grants access on Linux, the WinUSB driver on Windows.
#ifdef Q_OS_WIN
const char accessAdvice[] = "install WinUSB for it (for example with Zadig";
const char deniedAccess[] = "(libusb says LIBUSB_ERROR_ACCESS). dfu-util reaches the device "
                            "through the WinUSB driver";
const char deniedNoDriver[] = "(it has no WinUSB driver, libusb says LIBUSB_ERROR_NOT_SUPPORTED)";
const char noSuchFile[] = "(File not found)";
#else
const char accessAdvice[] = "Install the udev rule 70-brindleflash-dfu.rules";
const char deniedAccess[] = "(you may not use it)";
const char deniedNoDriver[] = "(you may not use it)";
const char noSuchFile[] = "(No such file or directory)";
#endif
const QByteArray statusError = "dfu-util: Error during download get_status\n";
const QByteArray errorStatus = "dfu-util: SET_ADDRESS not correctly executed\n";
constexpr qint64 TransferSize = 1024;

// One update of dfu-util's progress bar, and the line it adds once the bar is full.
QByteArray bar(const char *label, qint64 done, qint64 total)
{
    total = qMax<qint64>(total, 1);
    const int filled = int(25 * done / total);
    QByteArray record = "\r" + QByteArray(label) + "\t[" + QByteArray(filled, '=')
        + QByteArray(25 - filled, ' ') + "] "
        + QByteArray::number(100 * done / total).rightJustified(3, ' ') + "% "
        + QByteArray::number(done).rightJustified(12, ' ') + " bytes";
    if (filled == 25)
        record += "\n" + QByteArray(label) + " done.\n";
    return record;
}

// A stage of one element: from 0 of 1, once per transfer, to the whole element.
QByteArray stage(const char *label, qint64 size)
{
    QByteArray out = bar(label, 0, 1);
    for (qint64 at = 0; at < size; at += TransferSize)
        out += bar(label, at, size);
    return out + bar(label, size, size);
}

// Images are ALT@ADDRESS:SIZE; one target per alternate setting, in the order given.
DfuSeFile layout(const QStringList &images, bool named)
{
    DfuSeFile file;
    if (named) {
        file.vendorId = 0x0483;
        file.productId = 0xDF11;
    }
    for (int i = 0; i < images.size(); ++i) {
        const QStringList parts = images.at(i).split(QRegularExpression("[@:]"));
        const quint8 alternate = quint8(parts.at(0).toUInt());
        int t = 0;
        while (t < file.targets.size() && file.targets.at(t).alternateSetting != alternate)
            ++t;
        if (t == file.targets.size()) {
            file.targets.append(DfuSeTarget());
            file.targets.last().alternateSetting = alternate;
        }
        DfuSeElement element;
        element.address = parts.at(1).toUInt(nullptr, 16);
        element.data = pattern(parts.at(2).toInt(), quint32(i + 1));
        file.targets[t].elements << element;
    }
    return file;
}

// What dfu-util 0.11 prints for "-a ALT -D file": every target is parsed, only those of ALT
// are downloaded; the others only get a note on standard error.
FakeCall downloadOf(const DfuSeFile &file, int alternate)
{
    FakeCall call;
    call.out = banner
        + "Opening DFU capable USB device...\nDevice ID 0483:df11\nDevice DFU version 011a\n"
          "Claiming USB DFU Interface...\nDetermining device status: state = dfuIDLE, "
          "status = 0\ndfuIDLE, continuing\nDFU mode device DFU version 011a\nDevice returned "
          "transfer size 1024\nDfuSe interface name: \"Internal Flash  \"\n";
    call.out += "File contains " + QByteArray::number(file.targets.size()) + " DFU images\n";
    for (int t = 0; t < file.targets.size(); ++t) {
        const DfuSeTarget &target = file.targets.at(t);
        const bool chosen = target.alternateSetting == alternate;
        call.out += QString("Parsing DFU image %1\nNo target name\nImage for alternate setting "
                            "%2, (%3 elements, total size = %4)\n")
                        .arg(t + 1)
                        .arg(target.alternateSetting)
                        .arg(target.elements.size())
                        .arg(target.elements.size() * 8 + file.dataSize())
                        .toLatin1();
        if (!chosen)
            call.err += "dfu-util: No alternate setting "
                + QByteArray::number(target.alternateSetting) + " (skipping elements)\n";
        for (int e = 0; e < target.elements.size(); ++e) {
            const DfuSeElement &element = target.elements.at(e);
            call.out += QString("Parsing element %1, address = 0x%2, size = %3\n")
                            .arg(e + 1)
                            .arg(element.address, 8, 16, QChar('0'))
                            .arg(element.data.size())
                            .toLatin1();
            if (chosen)
                call.out += stage("Erase   ", element.data.size())
                    + stage("Download", element.data.size());
        }
    }
    call.out += "Done parsing DfuSe file\n";
    return call;
}

// What "-a ALT -s ADDRESS:LENGTH -U file" prints, and what it stores in the file.
FakeCall uploadOf(const QByteArray &bytes, qint64 size)
{
    return {banner + "Opening DFU capable USB device...\nDevice ID 0483:df11\n"
                + stage("Upload", size),
            "", "", bytes};
}

QList<FakeCall> uploadsOf(const DfuSeFile &file)
{
    QList<FakeCall> calls;
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &element : target.elements) {
            if (!element.data.isEmpty())
                calls << uploadOf(element.data, element.data.size());
        }
    }
    return calls;
}

FakeCall leaveCall(const QByteArray &err = QByteArray(), const QByteArray &code = QByteArray())
{
    return {banner
                + "Opening DFU capable USB device...\nDfuSe command mode\n"
                  "Submitting leave request...\n",
            err, code};
}

// Each device is IDS/DEVNUM/ALT, one line of "dfu-util -l" apiece.
FakeCall listingOf(const QStringList &devices)
{
    FakeCall call {banner, QByteArray(), QByteArray()};
    for (const QString &device : devices) {
        const QStringList parts = device.split('/');
        call.out += QString("Found DFU: [%1] ver=2200, devnum=%2, cfg=1, intf=0, path=\"1-%2\", "
                            "alt=%3, name=\"@Internal Flash  "
                            "/0x08000000/04*016Kg,01*064Kg,07*128Kg/0x1FFF7800/01*016 g\", "
                            "serial=\"3262355B3231\"\n")
                        .arg(parts.at(0), parts.at(1), parts.at(2))
                        .toLatin1();
    }
    return call;
}

const QStringList twoTargets = {"0@0x08000000:3000", "1@0x1FFF7800:16"};

// The output up to the first progress update that starts with this text, which stays in.
QByteArray upTo(const QByteArray &out, const QByteArray &update)
{
    const int at = out.indexOf("\r" + update);
    return out.left(out.indexOf('\r', at + 1));
}

// The phase lines in order, shortened to E12, D100 and L for the leaving line.
QString phaseSequence(const QByteArray &out)
{
    QStringList sequence;
    for (const QByteArray &line : outputLines(out)) {
        const QRegularExpressionMatch match = phaseLine().match(QString::fromUtf8(line));
        if (match.hasMatch())
            sequence << match.captured(1).left(1) + match.captured(2);
        else if (line == "Leaving DFU Mode...")
            sequence << "L";
    }
    return sequence.join(' ');
}

} // namespace

class tst_DfuUtil : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void outputInPieces();
    void downloads_data();
    void downloads();
    void failures_data();
    void failures();
    void waiting_data();
    void waiting();
    void downloadsTheCheckedBytes();
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

private:
    void writeScript(const QList<FakeCall> &calls) const;
    QStringList calls() const;
    QString firmware(const DfuSeFile &file) const;
    QString scriptFile(int call, const char *suffix) const;
    QProcessEnvironment environment(const QString &waitSeconds) const;
    Run tool(const QStringList &arguments, const QString &waitSeconds = "0") const;

    std::unique_ptr<QTemporaryDir> work;
    QString toolPath;
};

void tst_DfuUtil::init()
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

void tst_DfuUtil::cleanup()
{
    work.reset();
}

// Pieces of standard output go to the fake in files, cut in awkward places.
void tst_DfuUtil::writeScript(const QList<FakeCall> &calls) const
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

QStringList tst_DfuUtil::calls() const
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

QString tst_DfuUtil::firmware(const DfuSeFile &file) const
{
    QFile out(work->filePath("firmware.dfu"));
    if (!out.open(QIODevice::WriteOnly) || out.write(DfuSeWriter::write(file)) <= 0)
        return QString();
    return out.fileName();
}

QString tst_DfuUtil::scriptFile(int call, const char *suffix) const
{
    return work->filePath(QString("script/%1%2").arg(call).arg(suffix));
}

// A few seconds of silence end a download here, not a minute.
QProcessEnvironment tst_DfuUtil::environment(const QString &waitSeconds) const
{
    QProcessEnvironment env = environmentWithoutDevice();
    env.insert("FAKE_DFU_UTIL_DIR", work->filePath("script"));
    env.insert("DFU_WAIT_SECONDS", waitSeconds);
    env.insert("DFU_STALL_SECONDS", "3");
    for (const char *name : {"TMPDIR", "TMP", "TEMP"})
        env.insert(name, QDir::toNativeSeparators(work->filePath("tmp")));
    return env;
}

Run tst_DfuUtil::tool(const QStringList &arguments, const QString &waitSeconds) const
{
    return runProgram(toolPath, arguments, environment(waitSeconds));
}

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

// Killed mid-download, the tool takes its dfu-util with it; what it leaves goes at the next
// start, but never while the tool that holds it still runs.
void tst_DfuUtil::killedMidDownload()
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
void tst_DfuUtil::privateCopy_data()
{
    QTest::addColumn<QString>("temp");
    QTest::newRow("plain temp folder") << "tmp";
    // dfu-util would get its path with "?" for what the ANSI code page lacks.
    QTest::newRow("user name beyond ASCII") << QString::fromUtf8(
        "tmp-\xc5\xbdlu\xc5\xa5ou\xc4\x8dk\xc3\xbd \xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd");
}

// Wine enforces no permissions between users, so the DACL is read back rather than tried.
void tst_DfuUtil::privateCopy()
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
void tst_DfuUtil::leavesNoReadBack_data()
{
    QTest::addColumn<int>("signal");

    for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT})
        QTest::newRow(strsignal(signal)) << signal;
    // Only the next start removes what a killed tool leaves, but not a running tool's folder.
    QTest::newRow("killed, then started again") << int(SIGKILL);
}

// Signalled while dfu-util reads the device back into the tool's temporary folder.
void tst_DfuUtil::leavesNoReadBack()
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

void tst_DfuUtil::realDfuUtilWithoutDevice()
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
void tst_DfuUtil::udevRule()
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

QTEST_GUILESS_MAIN(tst_DfuUtil)
#include "tst_dfuutil.moc"
