// The update tool's file checks and the packer, run as processes with no device: on every
// platform, under Wine too.
#include "tests/handmadedfu.h"
#include "tests/toolprocess.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using HandMade::put32;
using HandMade::putCrc;

// A one-target file, named "Flash", for alternate setting 0.
QByteArray handMade(const QList<HandMade::Element> &elements)
{
    return HandMade::dfuseFile({HandMade::target(0, elements, "Flash")});
}

// A plain DFU file of a 48-byte image: bcdDFU at 54, "UFD" at 56, length at 59, CRC at 60.
QByteArray plainFile(quint16 dfuVersion = 0x0110, int imageSize = 48)
{
    return HandMade::withSuffix(pattern(imageSize, 5), dfuVersion);
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

} // namespace

class tst_ToolFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rejectsDefects_data();
    void rejectsDefects();
    void acceptsDeviations_data();
    void acceptsDeviations();
    void rejectsEveryTruncation_data();
    void rejectsEveryTruncation();
    void usage_data();
    void usage();
    void packerPassesDfuSuffix_data();
    void packerPassesDfuSuffix();
    void packerRejects_data();
    void packerRejects();

private:
    QString path(const QString &name) const { return work->filePath(name); }
    QString write(const QString &name, const QByteArray &bytes) const
    {
        return writeFile(path(name), bytes);
    }
    Run tool(const QStringList &arguments) const;
    Run pack(const QStringList &arguments) const;

    std::unique_ptr<QTemporaryDir> work;
};

void tst_ToolFiles::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
}

void tst_ToolFiles::cleanup()
{
    work.reset();
}

Run tst_ToolFiles::tool(const QStringList &arguments) const
{
    return runProgram(DFUSECOMMAND, arguments, environmentWithoutDevice());
}

Run tst_ToolFiles::pack(const QStringList &arguments) const
{
    return runProgram(DFUSEPACK, arguments, environmentWithoutDevice());
}

void tst_ToolFiles::rejectsDefects_data()
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
    // Opened by the bytes of its name, which UTF-8 cannot decode: the tool reads what it holds.
    QTest::newRow("no UFD, a name not in UTF-8")
        << "bytes" << patchedByte(base, 373, 'X') << "\"UFD\" signature (offset 373)";
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
    const QByteArray plain = plainFile();
    const QString neither = "is neither a DfuSe nor a DFU file: it starts without \"DfuSe\" and "
                            "ends without the DFU suffix's \"UFD\" signature (offset %1)";
    QTest::newRow("plain, no UFD") << "file" << patchedByte(plain, 57, 'X') << neither.arg(56);
    QTest::newRow("a text file") << "file" << QByteArray("Name:\tcat\nUmask:\t0022\n")
                                 << neither.arg(14);
    QTest::newRow("plain, suffix length 17")
        << "file" << patchedByte(plain, 59, 17) << "length is 17, not 16 (offset 59)";
    QTest::newRow("plain, DFU version 0x0200")
        << "file" << patchedByte(plain, 55, 2)
        << "the DFU version is 0x0210, not 0x0100 or 0x0110 for a plain DFU file (one without the "
           "\"DfuSe\" prefix) (offset 54)";
    QTest::newRow("plain, a byte changed")
        << "file" << patchedByte(plain, 20, 'x', false) << "file is damaged (offset 60)";
    QTest::newRow("plain, only the suffix")
        << "file" << plainFile(0x0110, 0)
        << "holds no firmware bytes, only the DFU suffix (offset 0)";
}

void tst_ToolFiles::rejectsDefects()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
#ifdef Q_OS_WIN
    if (kind == "bytes")
        QSKIP("Windows file names are UTF-16: none is bytes that UTF-8 cannot decode");
#endif

    // A blank and an argument marker in the name must reach the message unchanged.
    QString file = path("firm ware %3.dfu");
    if (kind == "file")
        file = write("firm ware %3.dfu", bytes);
    else if (kind == "folder")
        QVERIFY(QDir().mkpath(file));
    const QString named = write("named.dfu", bytes);
    // Such a name only a shell can pass on.
    const QString script
        = "name=\"$(printf '%s/Ger\\344t.dfu' \"${1%/*}\")\" && mv \"$1\" \"$name\" "
          "&& exec \"$0\" -c -d --o --fn \"$name\" -l";
    if (kind == "bytes")
        file = QFileInfo(named).path() + "/Ger\uFFFDt.dfu";

    const Run run = kind == "bytes"
        ? runProgram("sh", {"-c", script, DFUSECOMMAND, named},
                     withSettings(environmentWithoutDevice(), {"LC_ALL=C.UTF-8"}, work->path()))
        : tool({"-c", "-d", "--o", "--fn", file, "-l"});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY2(run.err.contains(file.toUtf8()), run.err.constData());
    QCOMPARE(run.out, QByteArray());
}

// Size fields that dfu-util ignores as well: the file is flashed, with a note on each.
void tst_ToolFiles::acceptsDeviations_data()
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

void tst_ToolFiles::acceptsDeviations()
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
    QCOMPARE(lines.takeFirst(),
             "SHA-256 of the firmware file: "
                 + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    QCOMPARE(lines, notes);
}

void tst_ToolFiles::rejectsEveryTruncation_data()
{
    QTest::addColumn<QByteArray>("base");

    QTest::newRow("DfuSe") << baseFile();
    QTest::newRow("plain, DFU 1.0") << plainFile(0x0100);
}

void tst_ToolFiles::rejectsEveryTruncation()
{
    QFETCH(QByteArray, base);

    const QString whole = write("whole.dfu", base);
    // The hand-made file carries zlib's CRC: its acceptance cross-checks the tool's own.
    QCOMPARE(tool({"--fn", whole}).exitCode, 0);

    for (int size = 0; size < base.size(); ++size) {
        const QString file = write("cut.dfu", base.left(size));
        const Run run = tool({"-c", "-d", "--o", "--fn", file, "-l"});
        QVERIFY2(run.exitStatus == QProcess::NormalExit && run.exitCode == 3,
                 qPrintable(QString("cut at %1: exit %2, %3")
                                .arg(size)
                                .arg(run.exitCode)
                                .arg(QString::fromUtf8(run.err))));
        QVERIFY2(run.err.contains("offset"), run.err.constData());
    }
}

void tst_ToolFiles::usage_data()
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

void tst_ToolFiles::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const Run run = tool(arguments.replaceInStrings(QRegularExpression("^F$"), path("none.dfu")));
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY(run.err.contains("Usage: DfuSeCommand.exe"));
}

void tst_ToolFiles::packerPassesDfuSuffix_data()
{
    QTest::addColumn<QStringList>("inputs");
    QTest::addColumn<QString>("dfuVersion");

    QTest::newRow("DfuSe") << QStringList {"0x08000000:I", "1@0x1FFF7800:I"} << "0x011A";
    QTest::newRow("plain") << QStringList {"--plain", "I"} << "0x0110";
}

void tst_ToolFiles::packerPassesDfuSuffix()
{
    QFETCH(QStringList, inputs);
    QFETCH(QString, dfuVersion);

    const QString dfuSuffix = QStandardPaths::findExecutable("dfu-suffix");
    if (dfuSuffix.isEmpty())
        QSKIP("dfu-suffix is not installed (Debian package dfu-util); scripts/install-deps test "
              "installs it.");
    const QString image = write("image.bin", pattern(12345, 3));
    const Run packed = pack(
        QStringList {"--vid", "0x0483", "--pid", "0xDF11", "--bcd", "0x0200", "-o", path("out.dfu")}
        + inputs.replaceInStrings(QRegularExpression("I$"), image));
    QCOMPARE(packed.exitCode, 0);

    const Run check = runProgram(dfuSuffix, {"-c", path("out.dfu")}, environmentWithoutDevice());
    QVERIFY2(check.exitCode == 0, check.err.constData());
    QVERIFY(check.out.contains("Vendor ID:\t0x0483"));
    QVERIFY(check.out.contains("Product ID:\t0xDF11"));
    QVERIFY(check.out.contains("BCD device:\t0x0200"));
    QVERIFY(check.out.contains("BCD DFU:\t" + dfuVersion.toUtf8()));
}

void tst_ToolFiles::packerRejects_data()
{
    QTest::addColumn<QStringList>("inputs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    // What the tool would refuse is refused before any of it is read: exit code 3.
    QTest::newRow("overlap") << QStringList {"0x1000:I", "0x1010:I"} << 3 << "overlaps";
    QTest::newRow("no bytes") << QStringList {"0x1000:E"} << 3 << "holds no firmware bytes";
    QTest::newRow("one input without bytes")
        << QStringList {"0x1000:I", "0x2000:E"} << 3 << "holds no firmware bytes";
    QTest::newRow("bad layout") << QStringList {"--layout", "Flash", "0x1000:I"} << 2
                                << "does not start with @";
    // Packed, with a warning.
    QTest::newRow("two inputs in one sector")
        << QStringList {"--layout", "@F/0x1000/4*1Kg", "0x1000:I", "0x1100:I"} << 0
        << "Warning: The elements at 0x00001000, 0x00001100 of alternate setting 0 share an "
           "erasable sector";
    const QString tooLarge = "bytes; the update tool takes at most 1073741824.";
    QTest::newRow("1 GiB") << QStringList {"0x0:G"} << 3 << "file of 1073742133 " + tooLarge;
    QTest::newRow("twice 1 GiB") << QStringList {"0x0:G", "1@0x0:G"} << 3
                                 << "file of 2147484239 " + tooLarge;
    QTest::newRow("bad address") << QStringList {"0x1G:I"} << 2 << "not a 32-bit address";
    QTest::newRow("address too big")
        << QStringList {"0x100000000:I"} << 2 << "not a 32-bit address";
    QTest::newRow("alternate 256") << QStringList {"256@0x1000:I"} << 2 << "0 to 255";
    QTest::newRow("no colon") << QStringList {"I"} << 2 << "is not ADDRESS:FILE";
    QTest::newRow("a drive letter, no address")
        << QStringList {"C:\\firmware\\app.bin"} << 2 << "is not ADDRESS:FILE";
    QTest::newRow("missing image") << QStringList {"0x1000:nothing.bin"} << 2 << "Cannot read";
    QTest::newRow("no input") << QStringList {} << 2 << "at least one";
    QTest::newRow("negative address") << QStringList {"-1:I"} << 2 << "Usage: dfusepack -o FILE";
    QTest::newRow("output is an input") << QStringList {"-o", "L", "0x1000:I"} << 2
                                        << "is one of the inputs; write to another file.";
    // The file size limit stands in for a full disk.
    QTest::newRow("write fails") << QStringList {"%LIMIT%", "0x1000:M"} << 1 << "File too large.";
    QTest::newRow("plain, no bytes") << QStringList {"--plain", "E"} << 3
                                     << "no valid plain DFU file: the file holds no firmware bytes";
    QTest::newRow("plain, 1 GiB") << QStringList {"--plain", "G"} << 3
                                  << "a plain DFU file of 1073741840 " + tooLarge;
    QTest::newRow("plain, two images")
        << QStringList {"--plain", "I", "I"} << 2 << "--plain takes one raw IMAGE";

    // A cabinet's metadata, each row with one option changed ("KEY=VALUE") or left out.
    const auto cab = [](const QStringList &changes) {
        QStringList arguments = QString("--cab C --cab-id org.example.x.firmware --cab-name X "
                                        "--cab-summary S --cab-developer D --cab-license MIT "
                                        "--cab-description R --vid 0x0483 --pid 0xDF11 --bcd "
                                        "0x0123 --layout @F/0x08000000/4*16Kg 0x08000000:I")
                                    .split(' ');
        for (const QString &change : changes) {
            const int at = arguments.indexOf(change.section('=', 0, 0));
            if (at < 0)
                arguments << change.split('=');
            else if (change.contains('='))
                arguments[at + 1] = change.section('=', 1);
            else
                arguments.erase(arguments.begin() + at, arguments.begin() + at + 2);
        }
        return arguments;
    };
    QTest::newRow("cab without --vid") << cab({"--vid"}) << 3 << "--vid and --pid other than";
    QTest::newRow("cab, pid 0xFFFF") << cab({"--pid=0xFFFF"}) << 3 << "--vid and --pid other than";
    QTest::newRow("cab without a name") << cab({"--cab-name"}) << 3 << "needs --cab-name";
    QTest::newRow("cab id not reverse DNS") << cab({"--cab-id=badge"}) << 3 << "reverse-DNS";
    QTest::newRow("cab version not BCD") << cab({"--bcd=0x012A"}) << 3 << "no release version";
    QTest::newRow("cab without a layout") << cab({"--layout"}) << 3 << "--layout";
    QTest::newRow("cab, bad date") << cab({"--cab-date=2026-13-01"}) << 3 << "YYYY-MM-DD";
    QTest::newRow("cab, bad urgency") << cab({"--cab-urgency=now"}) << 3 << "--cab-urgency";
    QTest::newRow("bad transfer size") << cab({"--transfer-size=0"}) << 2 << "--transfer-size";
    QTest::newRow("check without a layout")
        << QStringList {"--check-fwupd", "I"} << 2 << "--layout";
}

void tst_ToolFiles::packerRejects()
{
    QFETCH(QStringList, inputs);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
#ifdef Q_OS_WIN
    if (inputs.contains("%LIMIT%"))
        QSKIP("Windows has no file size limit to stand in for a full disk");
    if (inputs.contains("L"))
        QSKIP("A link on Windows is a shortcut file, not a second name of the file");
#endif

    const QString image = write("image.bin", pattern(100, 1));
    const QString medium = write("medium.bin", pattern(100000, 1));
    const QString empty = write("empty.bin", QByteArray());
    // Sparse: takes no room on disk.
    QFile large(path("large.bin"));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(Q_INT64_C(1) << 30));
    QVERIFY(QFile::link(image, path("link.bin")));
    inputs.replaceInStrings(QRegularExpression("I$"), image)
        .replaceInStrings(QRegularExpression("E$"), empty)
        .replaceInStrings(QRegularExpression("G$"), large.fileName())
        .replaceInStrings(QRegularExpression("M$"), medium)
        .replaceInStrings(QRegularExpression("^L$"), path("link.bin"))
        .replaceInStrings(QRegularExpression("^C$"), path("out.cab"));
    const QString limit = "trap '' XFSZ; ulimit -f 64; exec \"$0\" \"$@\"";
    const Run run = inputs.removeAll("%LIMIT%")
        ? runProgram("sh", QStringList {"-c", limit, DFUSEPACK, "-o", path("out.dfu")} + inputs,
                     environmentWithoutDevice())
        : pack(QStringList {"-o", path("out.dfu")} + inputs);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QCOMPARE(run.err.count('\n'), message.startsWith("Usage") ? 2 : 1);
    QCOMPARE(QFileInfo(image).size(), 100);
    QCOMPARE(QFile::exists(path("out.dfu")), exitCode == 0);
    QVERIFY(!QFile::exists(path("out.cab")));
}

QTEST_GUILESS_MAIN(tst_ToolFiles)
#include "tst_toolfiles.moc"
