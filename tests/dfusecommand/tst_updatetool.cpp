// The update tool and the packer, run as processes: flashing through the real dfu-util on a
// simulated device, faults, output.
#include "tests/mainwindowprobe.h"
#include "tests/toolprocess.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

// An image packed for one alternate setting at one address.
struct Image
{
    int alternate;
    quint32 address;
    QByteArray data;
};

QString hex32(quint32 value)
{
    return "0x" + QString::number(value, 16).toUpper().rightJustified(8, '0');
}

} // namespace

class tst_UpdateTool : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void flashes_data();
    void flashes();
    void samples_data();
    void samples();
    void faults_data();
    void faults();
    void choosesDevice_data();
    void choosesDevice();
    void flashesEvery_data();
    void flashesEvery();
    void interruptedEvery();
    void retryAfterError();
    void killedMidDownload();
    void verification_data();
    void verification();
    void phaseLines_data();
    void phaseLines();
    void statusSequence();

private:
    QString path(const QString &name) const { return work->filePath(name); }
    QString write(const QString &name, const QByteArray &bytes) const
    {
        return writeFile(path(name), bytes);
    }
    QProcessEnvironment environment(const QStringList &settings = {}) const;
    Run tool(const QStringList &arguments, const QStringList &settings = {}) const;
    Run onDevice(const QStringList &options, const QStringList &arguments,
                 const QStringList &settings = {}) const;
    Run pack(const QStringList &arguments) const;
    QString packImages(const QStringList &images, QList<Image> *expected, bool plain = false) const;
    QByteArray deviceBytes(int alternate, quint32 address, int size, int number = 1) const;

    std::unique_ptr<QTemporaryDir> work;
    QString device;
};

void tst_UpdateTool::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    device = path("device");
}

void tst_UpdateTool::cleanup()
{
    work.reset();
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

QProcessEnvironment tst_UpdateTool::environment(const QStringList &settings) const
{
    return withSettings(environmentWithoutDevice(), settings, work->path());
}

Run tst_UpdateTool::tool(const QStringList &arguments, const QStringList &settings) const
{
    return runProgram(DFUSECOMMAND, arguments, environment(settings));
}

// The tool on a simulated device whose memory lands in the device folder; "%FILE%" in an
// option is the packed file.
Run tst_UpdateTool::onDevice(const QStringList &options, const QStringList &arguments,
                             const QStringList &settings) const
{
    QStringList command = QStringList {"--memory", device} + options;
    command.replaceInStrings("%FILE%", path("packed.dfu"));
    return runProgram(DEVSIM, command + QStringList {"--", DFUSECOMMAND} + arguments,
                      environment(settings));
}

Run tst_UpdateTool::pack(const QStringList &arguments) const
{
    return runProgram(DFUSEPACK, arguments, environment());
}

// Each image is ALT@ADDRESS:SIZE; fills an image of that size and packs them all, or the one
// image (at 0) into a plain file.
QString tst_UpdateTool::packImages(const QStringList &images, QList<Image> *expected,
                                   bool plain) const
{
    QStringList inputs = {"-o", path("packed.dfu"), "--vid", "0x0483", "--pid", "0xDF11"};
    if (plain)
        inputs << "--plain";
    for (int i = 0; i < images.size(); ++i) {
        const QStringList parts = images.at(i).split(QRegularExpression("[@:]"));
        const Image image {parts.at(0).toInt(), parts.at(1).toUInt(nullptr, 16),
                           pattern(parts.at(2).toInt(), quint32(i + 1))};
        const QString file = write(QString("image%1.bin").arg(i), image.data);
        inputs << (plain ? file : QString("%1@%2:%3").arg(parts.at(0), parts.at(1), file));
        expected->append(image);
    }
    const Run packed = pack(inputs);
    if (packed.exitCode != 0)
        return QString();
    return path("packed.dfu");
}

// What the memory files of device number hold at an address, each file a whole region.
QByteArray tst_UpdateTool::deviceBytes(int alternate, quint32 address, int size, int number) const
{
    const QString prefix = QString("alt%1-").arg(alternate);
    const QDir folder(number == 1 ? device : QString("%1/device%2").arg(device).arg(number));
    for (const QFileInfo &info : folder.entryInfoList({prefix + "*.bin"}, QDir::Files)) {
        const qint64 base = info.completeBaseName().mid(prefix.size()).toLongLong(nullptr, 16);
        if (address < base || address + qint64(size) > base + info.size())
            continue;
        QFile file(info.filePath());
        if (file.open(QIODevice::ReadOnly) && file.seek(address - base))
            return file.read(size);
    }
    return "(not on the device)";
}

namespace {

// The file follows the device's kind, a plain file for --plain, unless "%OTHER-KIND%" (no
// option of the simulated device) asks for the kind it must refuse.
bool takePlainFile(QStringList *options)
{
    return options->contains("--plain") != (options->removeAll("%OTHER-KIND%") > 0);
}

// Every dfu-util call after the listing: a download per alternate setting, an upload per
// element, and the leave request at the address given; for a plain device one download, one
// upload and the reset. A run-time device is asked to detach first.
QStringList expectedCalls(const QList<Image> &images, bool plain, bool runtime, quint32 leave)
{
    QStringList calls;
    const QString device = "Running dfu-util -d ,0483:df11 -a %1 ";
    if (runtime)
        calls << "Running dfu-util -d 0483:df11 -p 1-1 -e";
    if (plain)
        return calls
            + QStringList {device.arg(0) + "-D FILE",
                           device.arg(0) + QString("-Z %1 -U FILE").arg(images.first().data.size()),
                           device.arg(0) + "-e -R"};
    QList<int> alternates;
    for (const Image &image : images) {
        if (!alternates.contains(image.alternate)) {
            alternates << image.alternate;
            calls << device.arg(image.alternate) + "-D FILE";
        }
    }
    // The packer makes one target per alternate setting.
    for (int alternate : alternates) {
        for (const Image &image : images) {
            if (image.alternate == alternate)
                calls << device.arg(alternate)
                        + QString("-s %1:%2 -U FILE")
                              .arg(hex32(image.address))
                              .arg(image.data.size());
        }
    }
    calls << device.arg(0) + "-s " + hex32(leave) + ":leave";
    return calls;
}

QStringList callsIn(const QByteArray &out)
{
    QStringList calls;
    for (const QByteArray &line : outputLines(out)) {
        if (line.startsWith("Running dfu-util "))
            calls << QString::fromUtf8(line).replace(QRegularExpression("(-[DU]) \\S+$"),
                                                     "\\1 FILE");
    }
    return calls;
}

} // namespace

void tst_UpdateTool::flashes_data()
{
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QStringList>("options");

    const QStringList fromFile = {"--layout-from", "%FILE%"};
    QTest::newRow("one element") << QStringList {"0@0x08000000:5000"} << QStringList();
    QTest::newRow("one byte") << QStringList {"0@0x08000000:1"} << QStringList();
    QTest::newRow("block edges") << QStringList {"0@0x08000000:2048", "0@0x08000800:2049"}
                                 << QStringList();
    QTest::newRow("not at a sector start")
        << QStringList {"0@0x08004100:3000", "0@0x08020010:40000"} << QStringList();
    QTest::newRow("several elements")
        << QStringList {"0@0x08000000:300", "0@0x08004000:7000", "0@0x08020000:4096"} << fromFile;
    QTest::newRow("two alternate settings, own layouts")
        << QStringList {"0@0x08000000:3000", "1@0x1FFFC000:16"}
        << QStringList {"--alt", "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", "--alt",
                        "@Option Bytes  /0x1FFFC000/01*016 g"};
    // Not the option bytes, nor the middle of the image.
    QTest::newRow("option bytes first, descending addresses")
        << QStringList {"1@0x1FFF7800:16", "0@0x08010000:3000", "0@0x08000000:3000"}
        << QStringList {"--alt", "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", "--alt",
                        "@Option Bytes  /0x1FFF7800/01*016 g"};
    // dfu-util would erase the first sector again for the third and wipe the first.
    QTest::newRow("two elements in one sector")
        << QStringList {"0@0x08000000:100", "0@0x08008000:100", "0@0x08000200:100"}
        << QStringList();
    QTest::newRow("several targets") << QStringList {"0@0x08000000:3000", "1@0x1FFF7800:16",
                                                     "2@0x20000000:1500", "1@0x1FFFC000:40"}
                                     << fromFile;
    QTest::newRow("one address, two alternates")
        << QStringList {"0@0x08000000:100", "1@0x08000000:200"} << fromFile;
    QTest::newRow("top of the address space") << QStringList {"0@0xFFFFFF00:256"} << fromFile;
    QTest::newRow("plain, a large memory")
        << QStringList {"0@0x0:5000"} << QStringList {"--plain", "--size", "16M"};
    QTest::newRow("plain, the whole memory")
        << QStringList {"0@0x0:262144"} << QStringList {"--plain", "--size", "256K"};
    QTest::newRow("run-time DfuSe device")
        << QStringList {"0@0x08000000:5000"} << QStringList {"--runtime"};
    QTest::newRow("run-time plain device")
        << QStringList {"0@0x0:5000"} << QStringList {"--runtime", "--plain"};
}

void tst_UpdateTool::flashes()
{
    QFETCH(QStringList, images);
    QFETCH(QStringList, options);

    QList<Image> expected;
    const bool plain = takePlainFile(&options);
    const QString file = packImages(images, &expected, plain);
    QVERIFY(!file.isEmpty());

    const Run run = onDevice(options, {"-c", "-d", "--fn", file, "-l"});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    for (const Image &image : expected)
        QVERIFY2(deviceBytes(image.alternate, image.address, image.data.size()) == image.data,
                 qPrintable(hex32(image.address)));
    // The device leaves for where it starts: the first region of its alternate setting 0, which
    // a layout from the file puts at the lowest sector that alternate setting writes.
    quint32 leave = options.contains("--layout-from") ? 0xFFFFFFFF : 0x08000000;
    for (const Image &image : expected) {
        if (image.alternate == 0)
            leave = qMin(leave, image.address / 2048 * 2048);
    }
    QCOMPARE(callsIn(run.out),
             expectedCalls(expected, plain, options.contains("--runtime"), leave));
    // A plain device is read back only as far as the image, not to the end of its memory.
    if (options.contains("16M"))
        QVERIFY(!run.out.contains("\ndfu-util: Received a total of "));
    QCOMPARE(run.out.contains("\nAsked the run-time device 0483:DF11 (USB path 1-1) to switch to "
                              "DFU mode\n"),
             options.contains("--runtime"));
}

void tst_UpdateTool::samples_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("elements");

    QTest::newRow("micropython") << "micropython-firmware.dfu"
                                 << QStringList {"08000000:14784", "08020000:307392"};
    QTest::newRow("badge") << "badge-firmware.dfu"
                           << QStringList {"08000000:15024", "08004000:352840"};
}

void tst_UpdateTool::samples()
{
    QFETCH(QString, name);
    QFETCH(QStringList, elements);

    QFile sample(QDir(SAMPLES_DIR).filePath(name));
    if (!sample.open(QIODevice::ReadOnly))
        QSKIP("The DfuSe samples of other toolchains are not there; set "
              "BRINDLEFLASH_SAMPLES_DIR to their folder.");
    const QByteArray bytes = sample.readAll();

    const Run run = onDevice({"--layout-from", sample.fileName()},
                             {"-c", "-d", "--fn", sample.fileName(), "-l"});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);

    // One target: elements follow the prefix and target header, each behind its 8-byte header.
    int offset = 11 + 274;
    for (const QString &element : elements) {
        const quint32 address = element.section(':', 0, 0).toUInt(nullptr, 16);
        const int size = element.section(':', 1).toInt();
        QVERIFY2(deviceBytes(0, address, size) == bytes.mid(offset + 8, size), qPrintable(element));
        QVERIFY(run.out.contains(
            QString("\nVerified %1 bytes at %2\n").arg(size).arg(hex32(address)).toUtf8()));
        offset += 8 + size;
    }
}

void tst_UpdateTool::faults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("downloadStarted");

    const QStringList fromFile = {"--layout-from", "%FILE%"};
    QTest::newRow("absent") << fromFile + QStringList {"--fault", "absent"}
                            << QStringList {"DFU_WAIT_SECONDS=1"} << 10
                            << "No DFU device 0483:DF11 appeared" << false;
    QTest::newRow("another device only")
        << fromFile + QStringList {"--id", "1234:5678"} << QStringList {"DFU_WAIT_SECONDS=0"} << 10
        << "not the one this file is for: 1234:5678" << false;
    QTest::newRow("two devices") << fromFile + QStringList {"--devices", "2"} << QStringList() << 7
                                 << "Unplug all but the one to update" << false;
    QTest::newRow("no such alternate setting")
        << QStringList {"--alt", "@Option Bytes  /0x1FFFC000/01*016 g"} << QStringList() << 4
        << "has no alternate setting 1" << false;
    QTest::newRow("disconnect") << fromFile + QStringList {"--fault", "disconnect@4"}
                                << QStringList() << 4 << "firmware is incomplete" << true;
    QTest::newRow("error status") << fromFile + QStringList {"--fault", "error@4:7"}
                                  << QStringList() << 4 << "firmware is incomplete" << true;
    // Without dfu-util, which an empty PATH hides, no device can be reached.
    QTest::newRow("no dfu-util") << QStringList() << QStringList {"PATH=%WORK%"} << 5
                                 << "Install the Debian package dfu-util" << false;
    QTest::newRow("bad wait") << QStringList() << QStringList {"DFU_WAIT_SECONDS=soon"} << 2
                              << "DFU_WAIT_SECONDS is \"soon\"" << false;
    QTest::newRow("no stall limit") << QStringList() << QStringList {"DFU_STALL_SECONDS=0"} << 2
                                    << "DFU_STALL_SECONDS is \"0\"" << false;
    // Empty values are defaults: the tool goes on to look for dfu-util.
    QTest::newRow("empty wait and stall limit")
        << QStringList() << QStringList {"DFU_WAIT_SECONDS=", "DFU_STALL_SECONDS=", "PATH=%WORK%"}
        << 5 << "Install the Debian package dfu-util" << false;
    QTest::newRow("DfuSe file, plain device")
        << QStringList {"--plain", "%OTHER-KIND%"} << QStringList() << 4
        << "The firmware file is a DfuSe file, but the DFU device 0483:DF11 is a plain DFU device"
        << false;
    QTest::newRow("plain file, DfuSe device")
        << QStringList {"%OTHER-KIND%"} << QStringList() << 4
        << "The firmware file is a plain DFU file, but the DFU device 0483:DF11 is a DfuSe device"
        << false;
    QTest::newRow("plain, disconnect") << QStringList {"--plain", "--fault", "disconnect@4"}
                                       << QStringList() << 4 << "firmware is incomplete" << true;
    // dfu-util prints a plain device's status on its standard output.
    QTest::newRow("plain, error status")
        << QStringList {"--plain", "--fault", "error@4:3"} << QStringList() << 4
        << "the device reported \"Device is unable to write memory\" (DFU status 3)" << true;
    QTest::newRow("plain, image bigger than the device")
        << QStringList {"--plain", "--size", "16K"} << QStringList() << 4
        << "The image (20000 bytes) is bigger than the memory of the DFU device 0483:DF11 (16384 "
           "bytes)"
        << true;
    QTest::newRow("DFU_DEVICE malformed")
        << fromFile + QStringList {"--devices", "2"} << QStringList {"DFU_DEVICE=usb1"} << 2
        << "DFU_DEVICE is \"usb1\"" << false;
    QTest::newRow("DFU_DEVICE at no device")
        << fromFile + QStringList {"--devices", "2"}
        << QStringList {"DFU_DEVICE=1-3", "DFU_WAIT_SECONDS=0"} << 10
        << "No DFU device 0483:DF11 at USB port 1-3 appeared within 0 s" << false;
    QTest::newRow("two run-time devices")
        << QStringList {"--runtime", "--devices", "2"} << QStringList() << 7
        << "2 devices 0483:DF11 are connected in run-time mode" << false;
}

void tst_UpdateTool::faults()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, settings);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(bool, downloadStarted);

    QList<Image> expected;
    const QString file = takePlainFile(&options)
        ? packImages({"0@0x0:20000"}, &expected, true)
        : packImages({"0@0x08000000:20000", "1@0x1FFFC000:16"}, &expected);
    QVERIFY(!file.isEmpty());

    const Run run = onDevice(options, {"-c", "-d", "--fn", file, "-l"}, settings);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);

    const QList<int> downloads = phasePercents(run.out).value("Download");
    QCOMPARE(!downloads.isEmpty(), downloadStarted);
    QVERIFY(downloads.isEmpty() || downloads.last() < 100);
    QVERIFY(!run.out.contains("Leaving DFU Mode..."));
    if (!downloadStarted) {
        QVERIFY2(!run.out.contains("Running dfu-util"), run.out.constData());
        QVERIFY(deviceBytes(0, expected.first().address, 16) != expected.first().data.left(16));
    }
}

void tst_UpdateTool::choosesDevice_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("selection");
    // The device written, 0 for none, and the devices named, as "PORT SERIAL".
    QTest::addColumn<int>("written");
    QTest::addColumn<QStringList>("named");

    const QStringList two = {"--devices", "2"};
    const QStringList shared
        = {"--devices", "3", "--serial", "SAME:device2", "--serial", "SAME:device3"};
    QTest::newRow("second of two, by port") << two << "1-2" << 2 << QStringList();
    QTest::newRow("second of two, by serial") << two << "serial:BFSIM0000002" << 2 << QStringList();
    QTest::newRow("none chosen") << two << "" << 0
                                 << QStringList {"1-1 BFSIM0000001", "1-2 BFSIM0000002"};
    QTest::newRow("shared serial, by port") << shared << "1-3" << 3 << QStringList();
    QTest::newRow("shared serial, by serial")
        << shared << "serial:SAME" << 0 << QStringList {"1-2 SAME", "1-3 SAME"};
    QTest::newRow("run-time, by port")
        << QStringList {"--runtime"} + two << "1-2" << 2 << QStringList();
    QTest::newRow("run-time, none chosen") << QStringList {"--runtime"} + two << "" << 0
                                           << QStringList {"1-1 BFSIM0000001", "1-2 BFSIM0000002"};
}

void tst_UpdateTool::choosesDevice()
{
    QFETCH(QStringList, options);
    QFETCH(QString, selection);
    QFETCH(int, written);
    QFETCH(QStringList, named);

    QList<Image> expected;
    const QString file = packImages({"0@0x08000000:5000"}, &expected);
    QVERIFY(!file.isEmpty());
    const Run run
        = onDevice(options, {"-c", "-d", "--fn", file, "-l"}, {"DFU_DEVICE=" + selection});
    QCOMPARE(run.exitCode, written ? 0 : 7);
    const int devices = options.at(options.indexOf("--devices") + 1).toInt();
    for (int number = 1; number <= devices; ++number)
        QCOMPARE(deviceBytes(0, 0x08000000, 5000, number) == expected.first().data,
                 number == written);

    // The window offers the devices these lines name.
    const QString name = options.contains("--runtime")
        ? "DFU run-time"
        : "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";
    QStringList lines;
    for (const QString &device : named)
        lines << QString("DFU device %1: 0483:df11, serial \"%2\", bcdDevice 0200, \"%3\"")
                     .arg(device.section(' ', 0, 0), device.section(' ', 1), name);
    QStringList found;
    for (const QByteArray &line : outputLines(run.out)) {
        if (line.startsWith("DFU device "))
            found << QString::fromUtf8(line);
        if (line.startsWith("Running dfu-util ") && !line.contains(" -l"))
            QVERIFY2(line.contains(QString(" -p 1-%1 ").arg(written).toUtf8()), line.constData());
    }
    QCOMPARE(found, lines);
}

void tst_UpdateTool::flashesEvery_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("selection");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("results");

    QTest::newRow("four, the third vanishes")
        << QStringList {"--devices", "4", "--fault", "disconnect@4:device3", "--new-bcd", "0x0201"}
        << "" << 4 << QStringList {"1-1 succeeded", "1-2 succeeded", "1-3 failed", "1-4 succeeded"};
    QTest::newRow("those with one serial")
        << QStringList {"--devices", "3", "--serial", "SAME:device2", "--serial", "SAME:device3"}
        << "serial:SAME" << 0 << QStringList {"1-2 succeeded", "1-3 succeeded"};
}

void tst_UpdateTool::flashesEvery()
{
    QFETCH(QStringList, options);
    QFETCH(QString, selection);
    QFETCH(int, exitCode);
    QFETCH(QStringList, results);

    QList<Image> expected;
    const QString file = packImages({"0@0x08000000:20000"}, &expected);
    QVERIFY(!file.isEmpty());
    const QString report = path("report.json");
    const Run run = onDevice(options, {"--all", "-c", "-d", "--fn", file, "-l", "--report", report},
                             {"DFU_DEVICE=" + selection});
    QCOMPARE(run.exitCode, exitCode);

    QFile reportFile(report);
    QVERIFY(reportFile.open(QIODevice::ReadOnly));
    QFile firmware(file);
    QVERIFY(firmware.open(QIODevice::ReadOnly));
    const auto sha256 = [](const QByteArray &bytes) {
        return QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    };
    const QString fileHash = sha256(firmware.readAll());
    QStringList seen;
    for (const QJsonValue &value : QJsonDocument::fromJson(reportFile.readAll()).array()) {
        const QJsonObject row = value.toObject();
        const QString port = row.value("port").toString();
        seen << port + " " + row.value("result").toString();
        // Each line as the device ended, before the table.
        QVERIFY(run.out.contains("\nDevice at USB port " + port.toUtf8() + ": "));
        QCOMPARE(row.value("firmwareSha256").toString(), fileHash);
        QCOMPARE(row.value("bcdDeviceBefore").toString(), QString("0200"));
        QVERIFY(QDateTime::fromString(row.value("start").toString(), Qt::ISODateWithMs)
                <= QDateTime::fromString(row.value("end").toString(), Qt::ISODateWithMs));
        const QByteArray memory = deviceBytes(0, 0x08000000, 20000, port.mid(2).toInt());
        if (row.value("result") == "succeeded") {
            QVERIFY(memory == expected.first().data);
            QCOMPARE(row.value("readBackSha256").toString(), sha256(memory));
            QCOMPARE(row.value("bcdDeviceAfter").toString(),
                     options.contains("--new-bcd") ? QString("0201") : QString());
        } else {
            QCOMPARE(row.value("exitCode").toInt(), exitCode);
            QVERIFY2(row.value("message").toString().contains("The firmware is incomplete"),
                     qPrintable(row.value("message").toString()));
            QVERIFY(row.value("readBackSha256").isNull());
        }
    }
    QCOMPARE(seen, results);
}

// A signal ends every device's tool, and their dfu-util, then the report is written and the
// tool ends by that signal. Both devices take 20 s per erase, so the signal comes mid-download.
void tst_UpdateTool::interruptedEvery()
{
    QList<Image> expected;
    const QString file = packImages({"0@0x08000000:5000"}, &expected);
    QVERIFY(!file.isEmpty());
    QProcess devsim;
    devsim.setProcessEnvironment(environment());
    devsim.start(DEVSIM,
                 {"--memory", device, "--devices", "2", "--poll-ms", "20000", "--", DFUSECOMMAND,
                  "--all", "-c", "-d", "--fn", file, "--report", path("report.json")});
    const auto guard = qScopeGuard([&] {
        devsim.kill();
        devsim.waitForFinished();
    });
    const auto children = [](const QByteArray &pid) {
        QFile file("/proc/" + pid + "/task/" + pid + "/children");
        return file.open(QIODevice::ReadOnly) ? file.readAll().simplified().split(' ')
                                              : QList<QByteArray>();
    };
    QByteArray tool;
    QList<QByteArray> downloads;
    QTRY_COMPARE_WITH_TIMEOUT(([&] {
                                  tool = children(QByteArray::number(devsim.processId())).value(0);
                                  downloads.clear();
                                  for (const QByteArray &job : children(tool)) {
                                      for (const QByteArray &dfuUtil : children(job)) {
                                          QFile command("/proc/" + dfuUtil + "/cmdline");
                                          if (command.open(QIODevice::ReadOnly)
                                              && command.readAll().contains("-D"))
                                              downloads << dfuUtil;
                                      }
                                  }
                                  return downloads.size();
                              }()),
                              2, 15000);

    QCOMPARE(::kill(pid_t(tool.toLongLong()), SIGTERM), 0);
    QVERIFY(devsim.waitForFinished(15000));
    QCOMPARE(devsim.exitCode(), 128 + SIGTERM);
    for (const QByteArray &dfuUtil : downloads)
        QVERIFY(processEnded(dfuUtil));
    QFile report(path("report.json"));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QJsonArray rows = QJsonDocument::fromJson(report.readAll()).array();
    QCOMPARE(rows.size(), 2);
    for (const QJsonValue &row : rows)
        QCOMPARE(row.toObject().value("result").toString(), QString("stopped"));
}

// A device left in dfuERROR by a failed update takes the next one.
void tst_UpdateTool::retryAfterError()
{
    QList<Image> expected;
    const QString file = packImages({"0@0x08000000:20000"}, &expected);
    QVERIFY(!file.isEmpty());
    const QStringList arguments = {"-c", "-d", "--fn", file, "-l"};
    const Run run = runProgram(
        DEVSIM,
        QStringList {"--memory", device, "--fault", "error@4:8", "--", "sh", "-c",
                     "\"$0\" \"$@\"; echo \"first: $?\"; exec \"$0\" \"$@\"", DFUSECOMMAND}
            + arguments,
        environment());
    QVERIFY2(run.out.contains("\nfirst: 4\n"), run.out.constData());
    QCOMPARE(run.exitCode, 0);
    QVERIFY(deviceBytes(0, 0x08000000, 20000) == expected.first().data);
}

// However the tool ends, the dfu-util it started goes too: it must not write on alone. The
// device stays on the bus until the test is done, and takes 20 s per erase, so that dfu-util
// prints nothing and a dead reader cannot end it by SIGPIPE.
void tst_UpdateTool::killedMidDownload()
{
    QList<Image> expected;
    const QString file = packImages({"0@0x08000000:5000"}, &expected);
    QVERIFY(!file.isEmpty());
    const QString script = "\"$@\" & echo $! > \"$0.pid\"; wait; "
                           "while [ ! -e \"$0.done\" ]; do sleep 0.1; done";
    QProcess devsim;
    devsim.setProcessEnvironment(environment());
    devsim.start(DEVSIM,
                 {"--memory", device, "--poll-ms", "20000", "--layout-from", file, "--", "sh", "-c",
                  script, path("tool"), DFUSECOMMAND, "-c", "-d", "--fn", file});
    QByteArray tool;
    const auto done = qScopeGuard([&] {
        if (!tool.isEmpty())
            ::kill(pid_t(tool.toLongLong()), SIGKILL);
        QFile(path("tool.done")).open(QIODevice::WriteOnly);
        QTRY_COMPARE(devsim.state(), QProcess::NotRunning);
    });
    // Right before its first erase.
    QByteArray out;
    QTRY_VERIFY((out += devsim.readAllStandardOutput()).contains("dfu-util: Parsing element 1"));

    QFile toolPid(path("tool.pid"));
    QVERIFY(toolPid.open(QIODevice::ReadOnly));
    tool = toolPid.readAll().trimmed();
    QFile children("/proc/" + tool + "/task/" + tool + "/children");
    QVERIFY(children.open(QIODevice::ReadOnly));
    const QByteArray dfuUtil = children.readAll().trimmed();
    QFile name("/proc/" + dfuUtil + "/cmdline");
    QVERIFY(name.open(QIODevice::ReadOnly));
    QVERIFY(name.readAll().contains("-D"));

    QCOMPARE(::kill(pid_t(tool.toLongLong()), SIGKILL), 0);
    QTRY_VERIFY(processEnded(dfuUtil));
}

void tst_UpdateTool::verification_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("lines");

    // %1 and %2 stand for the expected and the stored byte, %3 for the SHA-256 of every image.
    // With --alt, one image: 20000 bytes at 0x08000000, or 4000 at 0x08004000 with "%HIGH%".
    const QString readBack = "SHA-256 of the bytes read back: %3 (";
    QTest::newRow("good") << QStringList() << 0 << ""
                          << QStringList {"Verified 20000 bytes at 0x08000000",
                                          "Verified 16 bytes at 0x1FFFC000", readBack,
                                          "Flash verified: every byte matches the file",
                                          "Leaving DFU Mode..."};
    QTest::newRow("corrupt")
        << QStringList {"--fault", "corrupt@0x08002710"} << 4
        << "The flash verification failed at 0x08002710: expected %1, found %2. The device "
           "stays in DFU mode: retry the update.\n"
        << QStringList {"Element at 0x08000000 differs from the file, first at 0x08002710: "
                        "expected %1, found %2",
                        "Verified 16 bytes at 0x1FFFC000", "SHA-256 of the bytes read back: "};
    QTest::newRow("read-protected")
        << QStringList {"--fault", "readprotect"} << 0
        << "Warning: the flash could not be verified (dfu-util could not read back the element "
           "at 0x08000000: "
        << QStringList {"Element at 0x08000000 not checked: dfu-util could not read back",
                        "Element at 0x1FFFC000 not checked: dfu-util could not read back",
                        "Leaving DFU Mode..."};
    // Its first 16 KiB can be read, the rest not.
    const QStringList halfReadable = {"--alt", "@X /0x08000000/1*016Kg,1*016Kf"};
    QTest::newRow("corrupt where it can be read")
        << halfReadable + QStringList {"--fault", "corrupt@0x08000100"} << 4
        << "The flash verification failed at 0x08000100: expected %1, found %2."
        << QStringList {"Bytes at 0x08004000 to 0x08004E1F: the device's layout says it cannot be "
                        "read",
                        "Element at 0x08000000 differs from the file, first at 0x08000100"};
    QTest::newRow("where it cannot be read")
        << halfReadable + QStringList {"%HIGH%"} << 0
        << "Warning: the flash could not be verified (0x08004000 to 0x08004F9F: the device's "
           "layout says it cannot be read). The download itself went through.\n"
        << QStringList {"Bytes at 0x08004000 to 0x08004F9F: the device's layout says it cannot be "
                        "read",
                        "Leaving DFU Mode..."};
    QTest::newRow("plain") << QStringList {"--plain"} << 0 << ""
                           << QStringList {"Verified 20000 bytes at 0x00000000", readBack,
                                           "Flash verified: every byte matches the file",
                                           "Leaving DFU Mode..."};
    QTest::newRow("plain, corrupt")
        << QStringList {"--plain", "--fault", "corrupt@0x2710"} << 4
        << "The flash verification failed at 0x00002710: expected %1, found %2. The device "
           "stays in DFU mode: retry the update.\n"
        << QStringList {"Element at 0x00000000 differs from the file, first at 0x00002710: "
                        "expected %1, found %2",
                        "SHA-256 of the bytes read back: "};
    const QString unreadable = "Warning: the flash could not be verified (dfu-util could not "
                               "read back the device's memory: ";
    const QStringList unread = {"Element at 0x00000000 not checked: dfu-util could not read back "
                                "the device's memory",
                                "Leaving DFU Mode..."};
    QTest::newRow("plain, read-protected")
        << QStringList {"--plain", "--fault", "readprotect"} << 0 << unreadable << unread;
    QTest::newRow("plain, no upload capability")
        << QStringList {"--plain", "--fault", "noupload"} << 0 << unreadable << unread;
    // It left DFU mode by itself: no request to leave follows.
    QTest::newRow("plain, not manifestation tolerant")
        << QStringList {"--plain", "--manifest-reset"} << 0
        << "Warning: the flash could not be verified (the device left DFU mode after the download "
           "and cannot be read back). The download itself went through.\n"
        << QStringList {"Element at 0x00000000 not checked: the device left DFU mode after the "
                        "download and cannot be read back"};
}

void tst_UpdateTool::verification()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QStringList, lines);

    QList<Image> expected;
    const bool ownLayout = options.contains("--alt");
    const QString high = options.removeAll("%HIGH%") ? "0@0x08004000:4000" : "0@0x08000000:20000";
    const QString file = takePlainFile(&options)
        ? packImages({"0@0x0:20000"}, &expected, true)
        : packImages(ownLayout ? QStringList {high} : QStringList {high, "1@0x1FFFC000:16"},
                     &expected);
    const Run run
        = onDevice(options + (ownLayout ? QStringList() : QStringList {"--layout-from", "%FILE%"}),
                   {"-c", "-d", "--fn", file, "-l"});
    QCOMPARE(run.exitCode, exitCode);

    // A fault corrupts one byte of the first image.
    const int fault = options.indexOf(QRegularExpression("corrupt@.*"));
    const quint32 at = fault < 0 ? 0 : options.at(fault).mid(8).toUInt(nullptr, 16);
    const int offset = int(at - expected.first().address);
    const auto hex = [](const QByteArray &byte) { return "0x" + byte.toHex().toUpper(); };
    const QString bytes[] = {hex(expected.first().data.mid(offset, 1)),
                             hex(deviceBytes(0, expected.first().address + offset, 1))};
    message.replace("%1", bytes[0]).replace("%2", bytes[1]);
    QVERIFY2(message.isEmpty() ? run.err.isEmpty() : QString::fromUtf8(run.err).startsWith(message),
             run.err.constData());

    // The download's last percentage stands while the tool verifies: no phase line follows.
    QList<QByteArray> out = outputLines(run.out);
    const int verifying = out.indexOf("Verifying: reading every element back from the device");
    QVERIFY(verifying > 0);
    QCOMPARE(phasePercents(out.mid(0, verifying).join('\n')).value("Download").last(), 100);
    QStringList after;
    for (const QByteArray &line : out.mid(verifying + 1)) {
        if (!line.startsWith("dfu-util: ") && !line.startsWith("Running dfu-util "))
            after << QString::fromUtf8(line);
    }
    QByteArray images;
    for (const Image &image : expected)
        images += image.data;
    lines.replaceInStrings("%1", bytes[0]).replaceInStrings("%2", bytes[1]);
    lines.replaceInStrings("%3",
                           QCryptographicHash::hash(images, QCryptographicHash::Sha256).toHex());
    QCOMPARE(after.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(after.at(i).startsWith(lines.at(i)), qPrintable(after.at(i)));
}

void tst_UpdateTool::phaseLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("leaves");

    QTest::newRow("as the window calls it")
        << QStringList {"-c", "-d", "--o", "--fn", "F", "-l"} << true;
    QTest::newRow("other order") << QStringList {"-l", "--fn=F", "--o", "-d", "-c"} << true;
    QTest::newRow("without -l") << QStringList {"-c", "-d", "--fn", "F"} << false;
}

void tst_UpdateTool::phaseLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, leaves);

    QStringList inputs = {"-o", path("named.dfu"), "--name",
                          "Upgrading - Erase Phase (100)\rLeaving DFU Mode...\n"};
    const int sizes[] = {70000, 1, 30000, 4096};
    for (int i = 0; i < 4; ++i) {
        const QString image = write(QString("image%1.bin").arg(i), pattern(sizes[i], quint32(i)));
        inputs << QString("%1@0x%2:%3").arg(i % 2).arg(0x08000000 + i * 0x20000, 0, 16).arg(image);
    }
    QCOMPARE(pack(inputs).exitCode, 0);

    // dfu-util repeats the device's own names, which must not pass for phase lines either.
    const QString memory = "/0x08000000/512*002Kg";
    const Run run
        = onDevice({"--alt", "@Leaving DFU Mode...\r" + memory, "--alt",
                    "@Upgrading - Erase Phase (100)" + memory},
                   arguments.replaceInStrings(QRegularExpression("F$"), path("named.dfu")));
    QCOMPARE(run.exitCode, 0);

    QMap<QString, QList<int>> percents;
    const QList<QByteArray> lines = outputLines(run.out);
    const int leaving = lines.indexOf("Leaving DFU Mode...");
    QCOMPARE(leaving >= 0, leaves);
    QCOMPARE(lines.lastIndexOf("Leaving DFU Mode..."), leaving);
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QRegularExpressionMatch match = phaseLine().match(QString::fromUtf8(line));
        QVERIFY2(i == leaving || match.hasMatch() || !looksLikePhase(line), line.constData());
        if (match.hasMatch()) {
            QVERIFY2(leaving < 0 || i < leaving, "a phase after leaving DFU mode");
            if (match.captured(1) == "Erase")
                QVERIFY2(percents.value("Download").isEmpty(), "erase after download");
            percents[match.captured(1)] << match.captured(2).toInt();
        }
    }
    // dfu-util erases element by element: the erase lines stop where the first download starts.
    for (const char *phase : {"Erase", "Download"}) {
        const QList<int> seen = percents.value(phase);
        QVERIFY(seen.size() > 2);
        QCOMPARE(seen.first(), 0);
        for (int i = 1; i < seen.size(); ++i)
            QVERIFY2(seen.at(i) > seen.at(i - 1), qPrintable(phase));
    }
    QCOMPARE(percents.value("Download").last(), 100);
}

void tst_UpdateTool::statusSequence()
{
    QList<Image> expected;
    const QString file = packImages({"0@0x08000000:9000", "1@0x00000000:5000"}, &expected);
    const Run run = onDevice({"--layout-from", file}, {"-c", "-d", "--fn", file, "-l"});
    QCOMPARE(run.exitCode, 0);

    MainWindow window;
    QLabel *status = MainWindowProbe::form(window)->statusLabel;
    QProgressBar *bar = MainWindowProbe::form(window)->progressBar;
    QStringList texts;
    QMap<QString, QList<int>> values;
    // Awkward chunk boundaries, as a pipe may deliver them.
    for (int at = 0; at < run.out.size(); at += 7) {
        MainWindowProbe::feedOutput(window, run.out.mid(at, 7));
        if (texts.isEmpty() || texts.last() != status->text())
            texts << status->text();
        values[status->text()] << bar->value();
    }
    QCOMPARE(texts,
             QStringList({"Status: Ready", "Status: Upgrading - Erase Phase",
                          "Status: Upgrading - Download Phase",
                          "Status: Upgrading - Leaving DFU Mode"}));
    QVERIFY(values.value("Status: Upgrading - Erase Phase").last() > 0);
    QCOMPARE(values.value("Status: Upgrading - Download Phase").last(), 100);
    QCOMPARE(bar->maximum(), 0);
}

QTEST_MAIN(tst_UpdateTool)
#include "tst_updatetool.moc"
