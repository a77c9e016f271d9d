// The update tool and the packer, run as processes: flashing, file checks, faults, output.
#include "mainwindowprobe.h"
#include "toolprocess.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

namespace {

void put32(QByteArray &bytes, int at, quint32 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

void putCrc(QByteArray &bytes)
{
    const uLong crc
        = crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size() - 4));
    put32(bytes, bytes.size() - 4, ~quint32(crc));
}

// Lays out a one-target file by hand, with zlib's CRC, independently of the tool's writer.
QByteArray handMade(const QList<QPair<quint32, QByteArray>> &elements)
{
    QByteArray body;
    for (const auto &element : elements) {
        QByteArray header(8, '\0');
        put32(header, 0, element.first);
        put32(header, 4, quint32(element.second.size()));
        body += header + element.second;
    }
    QByteArray target = "Target" + QByteArray(268, '\0');
    put32(target, 7, 1);
    target.replace(11, 5, "Flash");
    put32(target, 266, quint32(body.size()));
    put32(target, 270, quint32(elements.size()));
    QByteArray file = "DfuSe" + QByteArray(6, '\0');
    file[5] = 1;
    file[10] = 1;
    file += target + body;
    put32(file, 6, quint32(file.size()));
    file += QByteArray::fromHex("ffff11df8304"
                                "1a01")
        + "UFD" + char(16) + QByteArray(4, '\0');
    putCrc(file);
    return file;
}

// Element data starts at 293 and 341; headers at 285 and 333; suffix at 365; 381 bytes.
QByteArray baseFile()
{
    QByteArray first(40, '\0');
    QByteArray second(24, '\0');
    for (int i = 0; i < first.size(); ++i)
        first[i] = char(i * 7 + 1);
    for (int i = 0; i < second.size(); ++i)
        second[i] = char(0xA0 + i);
    return handMade({{0x08000000, first}, {0x08001000, second}});
}

QByteArray patched(QByteArray bytes, int at, quint32 value, bool fixCrc = true)
{
    put32(bytes, at, value);
    if (fixCrc)
        putCrc(bytes);
    return bytes;
}

QByteArray patchedByte(QByteArray bytes, int at, char value, bool fixCrc = true)
{
    bytes[at] = value;
    if (fixCrc)
        putCrc(bytes);
    return bytes;
}

QByteArray erased(int size)
{
    return QByteArray(size, char(0xFF));
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
    void rejectsDefects_data();
    void rejectsDefects();
    void acceptsDeviations_data();
    void acceptsDeviations();
    void rejectsEveryTruncation();
    void faults_data();
    void faults();
    void usage_data();
    void usage();
    void verification_data();
    void verification();
    void skipsErasedBlocks_data();
    void skipsErasedBlocks();
    void phaseLines_data();
    void phaseLines();
    void statusSequence();
    void packerPassesDfuSuffix();
    void packerRejects_data();
    void packerRejects();

private:
    QString path(const QString &name) const { return work->filePath(name); }
    QString write(const QString &name, const QByteArray &bytes) const;
    QProcessEnvironment environment(const QStringList &settings = {}) const;
    Run tool(const QStringList &arguments, const QStringList &settings = {}) const;
    Run pack(const QStringList &arguments) const;
    QString packImages(const QStringList &images, QHash<QString, QByteArray> *expected) const;
    QStringList deviceFiles() const;
    QByteArray deviceFile(const QString &name) const;

    std::unique_ptr<QTemporaryDir> work;
    QString device;
};

void tst_UpdateTool::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    device = path("device");
    QVERIFY(QDir().mkpath(device));
}

void tst_UpdateTool::cleanup()
{
    work.reset();
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

QString tst_UpdateTool::write(const QString &name, const QByteArray &bytes) const
{
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

QProcessEnvironment tst_UpdateTool::environment(const QStringList &settings) const
{
    QProcessEnvironment env = environmentWithoutDevice();
    env.insert("DFU_SIMULATOR_DIR", device);
    env.insert("DFU_SIMULATOR_DELAY_MS", "0");
    return withSettings(env, settings, work->path());
}

Run tst_UpdateTool::tool(const QStringList &arguments, const QStringList &settings) const
{
    return runProgram(DFUSECOMMAND, arguments, environment(settings));
}

Run tst_UpdateTool::pack(const QStringList &arguments) const
{
    return runProgram(DFUSEPACK, arguments, environment());
}

// Each image is ALT@ADDRESS:SIZE; fills an image of that size, packs them all, and records
// what each simulator file must hold.
QString tst_UpdateTool::packImages(const QStringList &images,
                                   QHash<QString, QByteArray> *expected) const
{
    QStringList inputs = {"-o", path("packed.dfu"), "--vid", "0x0483", "--pid", "0xDF11"};
    for (int i = 0; i < images.size(); ++i) {
        const QStringList parts = images.at(i).split(QRegularExpression("[@:]"));
        const QByteArray data = pattern(parts.at(2).toInt(), quint32(i + 1));
        const QString image = write(QString("image%1.bin").arg(i), data);
        inputs << QString("%1@%2:%3").arg(parts.at(0), parts.at(1), image);
        const quint32 address = parts.at(1).toUInt(nullptr, 16);
        expected->insert(
            QString("alt%1-%2.bin")
                .arg(parts.at(0), QString::number(address, 16).toUpper().rightJustified(8, '0')),
            data);
    }
    const Run packed = pack(inputs);
    if (packed.exitCode != 0)
        return QString();
    return path("packed.dfu");
}

QStringList tst_UpdateTool::deviceFiles() const
{
    return QDir(device).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                  QDir::Name);
}

QByteArray tst_UpdateTool::deviceFile(const QString &name) const
{
    QFile file(QDir(device).filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void tst_UpdateTool::flashes_data()
{
    QTest::addColumn<QStringList>("images");

    QTest::newRow("one element") << QStringList {"0@0x08000000:5000"};
    QTest::newRow("one byte") << QStringList {"0@0x08000000:1"};
    QTest::newRow("block edges") << QStringList {"0@0x08000000:2048", "0@0x08000800:2049"};
    QTest::newRow("several elements")
        << QStringList {"0@0x08000000:300", "0@0x08004000:7000", "0@0x08020000:4096"};
    QTest::newRow("several targets") << QStringList {"0@0x08000000:3000", "1@0x1FFF7800:16",
                                                     "2@0x20000000:1500", "1@0x1FFFC000:40"};
    QTest::newRow("one address, two alternates")
        << QStringList {"0@0x08000000:100", "1@0x08000000:200"};
    QTest::newRow("top of the address space") << QStringList {"0@0xFFFFFF00:256"};
}

void tst_UpdateTool::flashes()
{
    QFETCH(QStringList, images);

    QHash<QString, QByteArray> expected;
    const QString file = packImages(images, &expected);
    QVERIFY(!file.isEmpty());

    const Run run = tool({"-c", "-d", "--o", "--fn", file, "-l"});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QStringList names = expected.keys();
    names.sort();
    QCOMPARE(deviceFiles(), names);
    for (const QString &name : names)
        QVERIFY2(deviceFile(name) == expected.value(name), qPrintable(name));
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

    const Run run = tool({"-c", "-d", "--o", "--fn", sample.fileName(), "-l"});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);

    // One target: elements follow the prefix and target header, each behind its 8-byte header.
    int offset = 11 + 274;
    QStringList names;
    for (const QString &element : elements) {
        const QString address = element.section(':', 0, 0);
        const int size = element.section(':', 1).toInt();
        names << "alt0-" + address + ".bin";
        QVERIFY2(deviceFile(names.last()) == bytes.mid(offset + 8, size), qPrintable(address));
        QVERIFY(run.out.contains(
            QString("\nVerified %1 bytes at 0x%2\n").arg(size).arg(address).toUtf8()));
        offset += 8 + size;
    }
    QCOMPARE(deviceFiles(), names);
}

void tst_UpdateTool::rejectsDefects_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");

    const QByteArray base = baseFile();
    QTest::newRow("missing") << "missing" << QByteArray() << "does not exist";
    QTest::newRow("a folder") << "folder" << QByteArray() << "not a regular file";
    QTest::newRow("empty") << "file" << QByteArray() << "too short for a DfuSe prefix and suffix";
    QTest::newRow("no DfuSe signature")
        << "file" << patchedByte(base, 0, 'd') << "\"DfuSe\" signature (offset 0)";
    QTest::newRow("version 2") << "file" << patchedByte(base, 5, 2) << "not 1 (offset 5)";
    QTest::newRow("no UFD") << "file" << patchedByte(base, 373, 'X')
                            << "\"UFD\" signature (offset 373)";
    QTest::newRow("suffix length 17")
        << "file" << patchedByte(base, 376, 17) << "length is 17, not 16 (offset 376)";
    QTest::newRow("DFU version 0x001A")
        << "file" << patchedByte(base, 372, 0) << "not 0x011A for DfuSe (offset 371)";
    QTest::newRow("a byte changed")
        << "file" << patchedByte(base, 300, 'x', false) << "file is damaged (offset 377)";
    QTest::newRow("CRC changed") << "file" << patchedByte(base, 380, 'x', false)
                                 << "file is damaged (offset 377)";
    QTest::newRow("no Target signature") << "file" << patchedByte(base, 11, 't')
                                         << "target 1 has no \"Target\" signature (offset 11)";
    QTest::newRow("two targets counted") << "file" << patchedByte(base, 10, 2)
                                         << "target 2 of 2 does not fit in the image (offset 365)";
    QTest::newRow("no targets counted") << "file" << patchedByte(base, 10, 0)
                                        << "354 more bytes after the last element (offset 11)";
    QTest::newRow("three elements counted")
        << "file" << patched(base, 281, 3)
        << "element 3 of target 1 does not fit before the suffix (offset 365)";
    QTest::newRow("one element counted")
        << "file" << patched(base, 281, 1) << "32 more bytes after the last element (offset 333)";
    QTest::newRow("element size huge")
        << "file" << patched(base, 289, 0xFFFFFFF8)
        << "claims 4294967288 bytes but only 72 stand before the suffix (offset 289)";
    QTest::newRow("element wraps the address space")
        << "file" << patched(base, 333, 0xFFFFFFF0)
        << "runs past the end of the 32-bit address space (offset 333)";
    QTest::newRow("elements overlap") << "file" << patched(base, 333, 0x08000027)
                                      << "the element at 0x08000027 overlaps the one at 0x08000000 "
                                         "(alternate setting 0) (offset 333)";
    QByteArray trailing = base;
    trailing.insert(365, '\0');
    QTest::newRow("a byte after the last target")
        << "file" << patched(trailing, 6, 366) << "1 more byte after the last element (offset 365)";
    QTest::newRow("no firmware bytes") << "file" << handMade({{0x08000000, QByteArray()}})
                                       << "holds no firmware bytes (offset 10)";
}

void tst_UpdateTool::rejectsDefects()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);

    // A blank and an argument marker in the name must reach the message unchanged.
    QString file = path("firm ware %3.dfu");
    if (kind == "file")
        file = write("firm ware %3.dfu", bytes);
    else if (kind == "folder")
        QVERIFY(QDir().mkpath(file));

    const Run run = tool({"-c", "-d", "--o", "--fn", file, "-l"});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY2(run.err.contains(file.toUtf8()), run.err.constData());
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(deviceFiles(), QStringList());
}

// Size fields that dfu-util ignores as well: the file is flashed, with a note on each.
void tst_UpdateTool::acceptsDeviations_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("notes");

    const QByteArray base = baseFile();
    const QString image = "Note: the image size field claims %1 bytes but the prefix and targets "
                          "take 365; the element sizes are used";
    const QString target = "Note: the size field of target 1 claims %1 bytes but its elements "
                           "take 80; the element sizes are used";
    QTest::newRow("image size counts the suffix")
        << patched(base, 6, 381) << QStringList {image.arg(381)};
    QTest::newRow("image size one more") << patched(base, 6, 366) << QStringList {image.arg(366)};
    QTest::newRow("image size one byte short")
        << patched(base, 6, 364) << QStringList {image.arg(364)};
    QTest::newRow("target size huge")
        << patched(base, 277, 0xFFFFFFFF) << QStringList {target.arg(4294967295)};
    QTest::newRow("target size one more") << patched(base, 277, 81) << QStringList {target.arg(81)};
    QTest::newRow("target and image size one less")
        << patched(patched(base, 277, 79), 6, 364) << QStringList {target.arg(79), image.arg(364)};
    QTest::newRow("a byte after the target name's end")
        << patchedByte(base, 28, 'j') << QStringList();
}

void tst_UpdateTool::acceptsDeviations()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, notes);

    const QString file = write("deviant.dfu", bytes);
    const Run run = tool({"--fn", file});
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.exitCode, 0);
    QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.takeFirst(),
             "Firmware file " + file + ": 1 target, 2 elements, 64 bytes for device 0483:DF11");
    QCOMPARE(lines, notes);
}

void tst_UpdateTool::rejectsEveryTruncation()
{
    const QByteArray base = baseFile();
    const QString whole = write("whole.dfu", base);
    // The hand-made file carries zlib's CRC: its acceptance cross-checks the tool's own.
    QCOMPARE(tool({"-c", "-d", "--fn", whole}).exitCode, 0);
    QVERIFY(QDir(device).removeRecursively() && QDir().mkpath(device));

    for (int size = 0; size < base.size(); ++size) {
        const QString file = write("cut.dfu", base.left(size));
        const Run run = tool({"-c", "-d", "--o", "--fn", file, "-l"});
        QVERIFY2(run.exitStatus == QProcess::NormalExit && run.exitCode == 3,
                 qPrintable(QString("cut at %1: exit %2").arg(size).arg(run.exitCode)));
        QVERIFY2(run.err.contains("offset"), run.err.constData());
        QVERIFY(deviceFiles().isEmpty());
    }
}

void tst_UpdateTool::faults_data()
{
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("downloadStarted");

    QTest::newRow("absent") << QStringList {"DFU_SIMULATOR_FAULT=absent"} << 10
                            << "No DFU device was found" << false;
    QTest::newRow("disconnect") << QStringList {"DFU_SIMULATOR_FAULT=disconnect"} << 4
                                << "disconnected during the download at 0x" << true;
    QTest::newRow("crash") << QStringList {"DFU_SIMULATOR_FAULT=crash"} << -1 << QString() << true;
    // Without the simulator the tool needs dfu-util, which an empty PATH hides.
    QTest::newRow("no simulator, no dfu-util")
        << QStringList {"DFU_SIMULATOR_DIR", "PATH=%WORK%"} << 5
        << "Install the Debian package dfu-util" << false;
    QTest::newRow("empty simulator folder, no dfu-util")
        << QStringList {"DFU_SIMULATOR_DIR=", "PATH=%WORK%"} << 5
        << "Install the Debian package dfu-util" << false;
    QTest::newRow("bad wait") << QStringList {"DFU_SIMULATOR_DIR", "DFU_WAIT_SECONDS=soon"} << 2
                              << "DFU_WAIT_SECONDS is \"soon\"" << false;
    QTest::newRow("no stall limit") << QStringList {"DFU_SIMULATOR_DIR", "DFU_STALL_SECONDS=0"} << 2
                                    << "DFU_STALL_SECONDS is \"0\"" << false;
    // Empty values are defaults: the tool goes on to look for dfu-util.
    QTest::newRow("empty wait and stall limit")
        << QStringList {"DFU_SIMULATOR_DIR",
                        "DFU_WAIT_SECONDS=", "DFU_STALL_SECONDS=", "PATH=%WORK%"}
        << 5 << "Install the Debian package dfu-util" << false;
    QTest::newRow("unknown fault") << QStringList {"DFU_SIMULATOR_FAULT=melt"} << 2
                                   << "DFU_SIMULATOR_FAULT is \"melt\"" << false;
    QTest::newRow("bad delay") << QStringList {"DFU_SIMULATOR_DELAY_MS=-1"} << 2
                               << "DFU_SIMULATOR_DELAY_MS is \"-1\"" << false;
    QTest::newRow("device folder cannot be made")
        << QStringList {"DFU_SIMULATOR_DIR=%WORK%/packed.dfu/device"} << 6 << "cannot be opened"
        << false;
}

void tst_UpdateTool::faults()
{
    QFETCH(QStringList, settings);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(bool, downloadStarted);

    QHash<QString, QByteArray> expected;
    const QString file = packImages({"0@0x08000000:20000"}, &expected);
    QVERIFY(!file.isEmpty());

    const Run run = tool({"-c", "-d", "--o", "--fn", file, "-l"}, settings);
    if (exitCode < 0) {
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
    } else {
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    }

    int lastDownload = -1;
    for (const QByteArray &line : outputLines(run.out)) {
        const QRegularExpressionMatch match = phaseLine().match(QString::fromUtf8(line));
        if (match.hasMatch() && match.captured(1) == "Download")
            lastDownload = match.captured(2).toInt();
    }
    QCOMPARE(lastDownload >= 0, downloadStarted);
    QVERIFY(lastDownload < 100);
    QVERIFY(!run.out.contains("Leaving DFU Mode..."));
    if (!downloadStarted)
        QCOMPARE(deviceFiles(), QStringList());
}

void tst_UpdateTool::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("unknown option")
        << QStringList {"-c", "-x", "--fn", "F"} << "Unknown option 'x'";
    QTest::newRow("no --fn") << QStringList {"-c", "-d", "-l"} << "No firmware file given";
    QTest::newRow("--fn without a file")
        << QStringList {"-c", "--fn"} << "Missing value after '--fn'";
    QTest::newRow("stray argument") << QStringList {"-c", "--fn", "F", "more"} << "\"more\"";
    QTest::newRow("download without connect") << QStringList {"-d", "--fn", "F"} << "need -c";
}

void tst_UpdateTool::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run run = tool(arguments.replaceInStrings(QRegularExpression("^F$"), path("none.dfu")));
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY(run.err.contains("Usage: DfuSeCommand.exe"));
    QCOMPARE(deviceFiles(), QStringList());
}

void tst_UpdateTool::verification_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("lines");

    // %1 and %2 stand for the expected and the stored byte.
    QTest::newRow("good") << "" << 0 << ""
                          << QStringList {"Verified 20000 bytes at 0x08000000",
                                          "Verified 16 bytes at 0x1FFF7800",
                                          "Flash verified: every byte matches the file",
                                          "Leaving DFU Mode..."};
    QTest::newRow("corrupt")
        << "corrupt" << 4
        << "The flash verification failed at 0x08002710: expected %1, found %2. The device "
           "stays in DFU mode: retry the update.\n"
        << QStringList {"Element at 0x08000000 differs from the file, first at 0x08002710: "
                        "expected %1, found %2",
                        "Verified 16 bytes at 0x1FFF7800"};
    const QString refused = "the simulated device refuses read-back, as a read-protected one does";
    QTest::newRow("noreadback") << "noreadback" << 0
                                << "Warning: the flash could not be verified (" + refused
            + "). The download itself went through.\n"
                                << QStringList {"Element at 0x08000000 not checked: " + refused,
                                                "Element at 0x1FFF7800 not checked: " + refused,
                                                "Leaving DFU Mode..."};
}

void tst_UpdateTool::verification()
{
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QStringList, lines);

    QHash<QString, QByteArray> expected;
    const QString file = packImages({"0@0x08000000:20000", "1@0x1FFF7800:16"}, &expected);
    const Run run = tool({"-c", "-d", "--o", "--fn", file, "-l"}, {"DFU_SIMULATOR_FAULT=" + fault});
    QCOMPARE(run.exitCode, exitCode);

    const auto hex = [](char byte) { return "0x" + QByteArray(1, byte).toHex().toUpper(); };
    const char right = expected.value("alt0-08000000.bin").at(10000);
    const QString bytes[] = {QString(hex(right)), QString(hex(char(~right)))};
    QCOMPARE(QString::fromUtf8(run.err), message.replace("%1", bytes[0]).replace("%2", bytes[1]));

    // The download's last percentage stands while the tool verifies: no phase line follows.
    QList<QByteArray> out = outputLines(run.out);
    const int verifying = out.indexOf("Verifying: reading every element back from the device");
    QVERIFY(verifying > 0);
    QCOMPARE(phasePercents(out.mid(0, verifying).join('\n')).value("Download").last(), 100);
    QStringList after;
    for (const QByteArray &line : out.mid(verifying + 1))
        after << QString::fromUtf8(line);
    QCOMPARE(after, lines.replaceInStrings("%1", bytes[0]).replaceInStrings("%2", bytes[1]));
}

void tst_UpdateTool::skipsErasedBlocks_data()
{
    QTest::addColumn<bool>("skip");
    QTest::addColumn<QByteArray>("written");

    QTest::newRow("with --o") << true
                              << QByteArray("Wrote 4096 bytes at 0x08000000, skipped 3048 "
                                            "bytes that hold only 0xFF");
    QTest::newRow("without --o") << false << QByteArray("Wrote 7144 bytes at 0x08000000\n");
}

void tst_UpdateTool::skipsErasedBlocks()
{
    QFETCH(bool, skip);
    QFETCH(QByteArray, written);

    // Blocks of 2048: data, erased, erased but for its last byte, and an erased tail.
    const QByteArray data = pattern(2048, 7) + erased(2048) + erased(2047) + '\0' + erased(1000);
    const QString image = write("image.bin", data);
    QCOMPARE(pack({"-o", path("ff.dfu"), "0x08000000:" + image}).exitCode, 0);
    // What the device held before must not show through the skipped blocks.
    const QString memory = QDir(device).filePath("alt0-08000000.bin");
    QFile old(memory);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(data.size(), 'o'));
    old.close();

    QStringList arguments = {"-c", "-d", "--fn", path("ff.dfu")};
    if (skip)
        arguments << "--o";
    const Run run = tool(arguments);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(written), run.out.constData());
    QVERIFY(deviceFile("alt0-08000000.bin") == data);
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

    const Run run = tool(arguments.replaceInStrings(QRegularExpression("F$"), path("named.dfu")));
    QCOMPARE(run.exitCode, 0);

    QMap<QString, QList<int>> percents;
    QList<QByteArray> lines = outputLines(run.out);
    QCOMPARE(lines.contains("Leaving DFU Mode..."), leaves);
    if (leaves)
        QCOMPARE(lines.takeLast(), QByteArray("Leaving DFU Mode..."));
    for (const QByteArray &line : lines) {
        const QRegularExpressionMatch match = phaseLine().match(QString::fromUtf8(line));
        QVERIFY2(match.hasMatch() || !looksLikePhase(line), line.constData());
        if (match.hasMatch()) {
            if (match.captured(1) == "Erase")
                QVERIFY2(percents.value("Download").isEmpty(), "erase after download");
            percents[match.captured(1)] << match.captured(2).toInt();
        }
    }
    for (const char *phase : {"Erase", "Download"}) {
        const QList<int> seen = percents.value(phase);
        QVERIFY(seen.size() > 2);
        QCOMPARE(seen.first(), 0);
        QCOMPARE(seen.last(), 100);
        for (int i = 1; i < seen.size(); ++i)
            QVERIFY2(seen.at(i) > seen.at(i - 1), qPrintable(phase));
    }
}

void tst_UpdateTool::statusSequence()
{
    QHash<QString, QByteArray> expected;
    const QString file = packImages({"0@0x08000000:9000", "1@0x00000000:5000"}, &expected);
    const Run run = tool({"-c", "-d", "--o", "--fn", file, "-l"});
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
    QCOMPARE(values.value("Status: Upgrading - Erase Phase").last(), 100);
    QCOMPARE(values.value("Status: Upgrading - Download Phase").last(), 100);
    QCOMPARE(bar->maximum(), 0);
}

void tst_UpdateTool::packerPassesDfuSuffix()
{
    const QString dfuSuffix = QStandardPaths::findExecutable("dfu-suffix");
    if (dfuSuffix.isEmpty())
        QSKIP("dfu-suffix is not installed (Debian package dfu-util); scripts/install-deps test "
              "installs it.");
    const QString image = write("image.bin", pattern(12345, 3));
    const Run packed = pack({"--vid", "0x0483", "--pid", "0xDF11", "--bcd", "0x0200", "-o",
                             path("out.dfu"), "0x08000000:" + image, "1@0x1FFF7800:" + image});
    QCOMPARE(packed.exitCode, 0);

    const Run check = runProgram(dfuSuffix, {"-c", path("out.dfu")}, environment());
    QVERIFY2(check.exitCode == 0, check.err.constData());
    QVERIFY(check.out.contains("Vendor ID:\t0x0483"));
    QVERIFY(check.out.contains("Product ID:\t0xDF11"));
    QVERIFY(check.out.contains("BCD device:\t0x0200"));
}

void tst_UpdateTool::packerRejects_data()
{
    QTest::addColumn<QStringList>("inputs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    // What the tool would refuse is refused before any of it is read: exit code 3.
    QTest::newRow("overlap") << QStringList {"0x1000:I", "0x1010:I"} << 3 << "overlaps";
    QTest::newRow("no bytes") << QStringList {"0x1000:E"} << 3 << "holds no firmware bytes";
    const QString tooLarge = "bytes; the update tool takes at most 1073741824.";
    QTest::newRow("1 GiB") << QStringList {"0x0:G"} << 3 << "file of 1073742133 " + tooLarge;
    QTest::newRow("twice 1 GiB") << QStringList {"0x0:G", "1@0x0:G"} << 3
                                 << "file of 2147484239 " + tooLarge;
    QTest::newRow("bad address") << QStringList {"0x1G:I"} << 2 << "not a 32-bit address";
    QTest::newRow("address too big")
        << QStringList {"0x100000000:I"} << 2 << "not a 32-bit address";
    QTest::newRow("alternate 256") << QStringList {"256@0x1000:I"} << 2 << "0 to 255";
    QTest::newRow("no colon") << QStringList {"I"} << 2 << "is not ADDRESS:FILE";
    QTest::newRow("missing image") << QStringList {"0x1000:nothing.bin"} << 2 << "Cannot read";
    QTest::newRow("no input") << QStringList {} << 2 << "at least one";
}

void tst_UpdateTool::packerRejects()
{
    QFETCH(QStringList, inputs);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const QString image = write("image.bin", pattern(100, 1));
    const QString empty = write("empty.bin", QByteArray());
    // Sparse: takes no room on disk.
    QFile large(path("large.bin"));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(Q_INT64_C(1) << 30));
    inputs.replaceInStrings(QRegularExpression("I$"), image)
        .replaceInStrings(QRegularExpression("E$"), empty)
        .replaceInStrings(QRegularExpression("G$"), large.fileName());
    const Run run = pack(QStringList {"-o", path("out.dfu")} + inputs);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY(!QFile::exists(path("out.dfu")));
}

QTEST_MAIN(tst_UpdateTool)
#include "tst_updatetool.moc"
