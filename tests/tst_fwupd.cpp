// fwupd's side: the check of its DfuSe erase plan, and fwupdtool itself installing the packer's
// cabinets onto the simulated device.
#include "toolprocess.h"
#include "updatetool/dfusewriter.h"
#include "updatetool/fwupdcheck.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Flash = "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";

// Each problem as its kind and the first address range or address it names.
QStringList summary(const QStringList &problems)
{
    const QList<QPair<QString, QString>> kinds
        = {{"wiping", "wipe"},       {"does not write", "erase"}, {"without erasing", "unerased"},
           {"no writable", "stop"},  {"0xFFFF", "ids"},           {"image size", "size"},
           {"no --layout", "layout"}};
    QStringList found;
    for (const QString &problem : problems) {
        QString kind = "?";
        for (const auto &entry : kinds) {
            if (problem.contains(entry.first)) {
                kind = entry.second;
                break;
            }
        }
        const QString range
            = QRegularExpression("0x[0-9a-f]{8}(-0x[0-9a-f]{8})?").match(problem).captured();
        found << (range.isEmpty() ? kind : kind + " " + range);
    }
    return found;
}

} // namespace

class tst_Fwupd : public QObject
{
    Q_OBJECT

private slots:
    void erasePlan_data();
    void erasePlan();
    void installs_data();
    void installs();
};

void tst_Fwupd::erasePlan_data()
{
    QTest::addColumn<QStringList>("layouts");
    QTest::addColumn<int>("transferSize");
    QTest::addColumn<QStringList>("elements"); // ALT:ADDRESS:SIZE, or ids=FFFF / imagesize+1
    QTest::addColumn<QStringList>("problems");
    QTest::addColumn<QString>("merged"); // the problems after --fwupd-merge, or "refused"

    const QStringList flash = {Flash};
    QTest::newRow("boundary start (the badge sample)")
        << flash << 2048 << QStringList {"0:0x08000000:15024", "0:0x08004000:352840"}
        << QStringList {"wipe 0x08000000-0x08003fff"} << "";
    QTest::newRow("shared sector")
        << flash << 2048 << QStringList {"0:0x08000000:0x100", "0:0x08000800:0x100"}
        << QStringList {"wipe 0x08000000-0x08003fff"} << "";
    QTest::newRow("apart, no boundary")
        << flash << 2048 << QStringList {"0:0x08000000:0x100", "0:0x08008100:0x100"}
        << QStringList {} << "refused";
    QTest::newRow("gap of a whole sector")
        << flash << 2048 << QStringList {"0:0x08000000:0x100", "0:0x08008000:0x100"}
        << QStringList {"erase 0x08004000-0x08007fff", "unerased 0x08008000-0x0800bfff"}
        << "refused";
    QTest::newRow("first element past the layout's start")
        << flash << 2048 << QStringList {"0:0x08004000:0x100", "0:0x08004200:0x100"}
        << QStringList {"erase 0x08000000-0x08003fff", "unerased 0x08004000-0x08007fff",
                        "wipe 0x08004000-0x08007fff"}
        << "refused";
    QTest::newRow("read-only boot loader before it")
        << QStringList {"@Flash /0x08000000/01*016Ka,03*016Kg"} << 2048
        << QStringList {"0:0x08004000:0x100"} << QStringList {"stop 0x08004000"}
        << "stop 0x08004000";
    QTest::newRow("chunk on a sector's end")
        << QStringList {"@Flash /0x08000000/4*002Kg"} << 2048 << QStringList {"0:0x08000000:8192"}
        << QStringList {"unerased 0x08001800-0x08001fff"} << "unerased 0x08001800-0x08001fff";
    QTest::newRow("chunk on a sector's end, smaller transfers")
        << QStringList {"@Flash /0x08000000/4*002Kg"} << 1024 << QStringList {"0:0x08000000:8192"}
        << QStringList {} << "";
    QTest::newRow("element smaller than a transfer")
        << QStringList {"@Flash /0x08000000/4*002Kg"} << 2048 << QStringList {"0:0x08000000:0x900"}
        << QStringList {"unerased 0x08000800-0x08000fff"} << "unerased 0x08000800-0x08000fff";
    QTest::newRow("several alternate settings")
        << QStringList {Flash, "@Option Bytes /0x1FFF7800/01*016 e"} << 2048
        << QStringList {"0:0x08004000:0x100", "1:0x1FFF7800:16"}
        << QStringList {"erase 0x08000000-0x08003fff", "unerased 0x08004000-0x08007fff"}
        << "erase 0x08000000-0x08003fff, unerased 0x08004000-0x08007fff";
    QTest::newRow("alternate setting without a layout")
        << flash << 2048 << QStringList {"1:0x08000000:16"} << QStringList {"layout"} << "layout";
    QTest::newRow("no vendor id") << flash << 2048 << QStringList {"0:0x08000000:16", "ids=FFFF"}
                                  << QStringList {"ids"} << "ids";
    QTest::newRow("image size off by one")
        << flash << 2048 << QStringList {"0:0x08000000:16", "imagesize+1"} << QStringList {"size"}
        << "";
}

void tst_Fwupd::erasePlan()
{
    QFETCH(QStringList, layouts);
    QFETCH(int, transferSize);
    QFETCH(QStringList, elements);
    QFETCH(QStringList, problems);
    QFETCH(QString, merged);

    std::vector<MemoryLayout> memory;
    for (const QString &text : layouts) {
        std::string error;
        memory.push_back(*MemoryLayout::parse(text.toStdString(), &error));
    }
    DfuSeFile file;
    file.vendorId = elements.contains("ids=FFFF") ? 0xFFFF : 0x0483;
    file.productId = 0xDF11;
    for (const QString &element : elements) {
        const QStringList parts = element.split(':');
        if (parts.size() != 3)
            continue;
        const quint8 alternate = quint8(parts[0].toUInt());
        if (file.targets.isEmpty() || file.targets.last().alternateSetting != alternate) {
            file.targets.append(DfuSeTarget());
            file.targets.last().alternateSetting = alternate;
        }
        file.targets.last().elements.append(
            {parts[1].toUInt(nullptr, 0), pattern(int(parts[2].toUInt(nullptr, 0)), 7)});
    }
    QByteArray bytes = DfuSeWriter::write(file);
    if (elements.contains("imagesize+1"))
        bytes[6] = char(bytes[6] + 1);

    const FwupdCheck check(memory, quint32(transferSize));
    QCOMPARE(summary(check.check(file, bytes)), problems);
    const DfuSeFile original = file;
    QString problem;
    if (!check.merge(&file, &problem)) {
        QCOMPARE(QString("refused"), merged);
        return;
    }
    QCOMPARE(summary(check.check(file, DfuSeWriter::write(file))).join(", "), merged);
    // The merged element holds every element where it was, the gaps erased flash.
    for (int t = 0; t < file.targets.size(); ++t) {
        QCOMPARE(file.targets[t].elements.size(), 1);
        const DfuSeElement &whole = file.targets[t].elements.first();
        QByteArray expected(whole.data.size(), char(0xFF));
        for (const DfuSeElement &element : original.targets[t].elements)
            expected.replace(int(element.address - whole.address), element.data.size(),
                             element.data);
        QCOMPARE(whole.data, expected);
    }
}

void tst_Fwupd::installs_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("elements"); // ADDRESS:SIZE
    QTest::addColumn<QStringList>("packing"); // options beside the cabinet's
    QTest::addColumn<QStringList>("device"); // brindleflash-devsim's options
    QTest::addColumn<int>("packed");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("memory"); // per element: exact, erased or wrong

    const QStringList badge = {"0x08000000:15024", "0x08004000:352840"};
    const QStringList dfuMode = {"--vid", "0x0483", "--pid", "0xDF11", "--bcd", "0x0200"};
    QTest::newRow("badge, packed as it is")
        << Flash << badge << dfuMode << QStringList() << 4 << false << "";
    QTest::newRow("badge, forced: the first element erased")
        << Flash << badge << dfuMode + QStringList {"--force"} << QStringList() << 0 << true
        << "erased exact";
    QTest::newRow("badge, merged") << Flash << badge << dfuMode + QStringList {"--fwupd-merge"}
                                   << QStringList() << 0 << true << "exact exact";
    QTest::newRow("back in run-time mode with the new version")
        << Flash << QStringList {"0x08000000:40000"}
        << QStringList {"--vid", "0x1209", "--pid", "0x0001", "--bcd", "0x0210"}
        << QStringList {"--id", "1209:0001", "--new-bcd", "0x0210"} << 0 << true << "exact";
    QTest::newRow("2 KiB sectors, forced: the last one unerased")
        << "@Flash /0x08000000/16*002Kg" << QStringList {"0x08000000:32768"}
        << dfuMode + QStringList {"--force"} << QStringList() << 0 << false << "wrong";
}

void tst_Fwupd::installs()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, elements);
    QFETCH(QStringList, packing);
    QFETCH(QStringList, device);
    QFETCH(int, packed);
    QFETCH(bool, installed);
    QFETCH(QString, memory);

    const QString fwupdtool = QStandardPaths::findExecutable("fwupdtool");
    if (fwupdtool.isEmpty())
        QSKIP("fwupdtool is not installed (Debian package fwupd); scripts/install-deps test "
              "installs it.");
    QTemporaryDir work;
    QStringList inputs;
    QList<QPair<quint32, QByteArray>> images;
    for (const QString &element : elements) {
        const QStringList parts = element.split(':');
        images.append({parts[0].toUInt(nullptr, 0), pattern(parts[1].toInt(), images.size())});
        QFile image(work.filePath(parts[0] + ".bin"));
        QVERIFY(image.open(QIODevice::WriteOnly) && image.write(images.last().second) > 0);
        inputs << parts[0] + ":" + image.fileName();
    }
    const QString cabinet = work.filePath("fw.cab");
    const QStringList metadata = {"--cab",
                                  cabinet,
                                  "--layout",
                                  layout,
                                  "--cab-id",
                                  "org.example.sim.firmware",
                                  "--cab-name",
                                  "Simulated",
                                  "--cab-summary",
                                  "Firmware for the simulated device",
                                  "--cab-developer",
                                  "Brindleflash",
                                  "--cab-license",
                                  "MIT",
                                  "--cab-description",
                                  "A test release."};
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const Run pack = runProgram(DFUSEPACK, metadata + packing + inputs, env);
    QVERIFY2(pack.exitCode == packed, pack.err.constData());
    QCOMPARE(QFile::exists(cabinet), packed == 0);
    if (packed != 0)
        return;

    // fwupd without its daemon, every folder it keeps state in private.
    QProcessEnvironment fwupd = env;
    for (const char *folder : {"STATE_DIRECTORY", "CACHE_DIRECTORY", "CONFIGURATION_DIRECTORY",
                               "FWUPD_LOCALSTATEDIR_QUIRKS", "FWUPD_LOCKDIR"}) {
        QVERIFY(QDir(work.path()).mkpath(folder));
        fwupd.insert(folder, work.filePath(folder));
    }
    const Run details = runProgram(fwupdtool, {"get-details", cabinet}, fwupd);
    QVERIFY2(details.exitCode == 0, details.out.right(400).constData());

    // Old firmware in the flash, so that a sector fwupd leaves unerased shows.
    QVERIFY(QDir(work.path()).mkdir("mem"));
    QFile flash(work.filePath("mem/alt0-08000000.bin"));
    const qint64 size = layout == Flash ? 1024 * 1024 : 32768;
    QVERIFY(flash.open(QIODevice::WriteOnly) && flash.write(QByteArray(int(size), '\0')) == size);
    flash.close();
    const Run install = runProgram(
        DEVSIM,
        QStringList {"--alt", layout, "--memory", work.filePath("mem")} + device
            + QStringList {"--", fwupdtool, "--plugins", "dfu", "--no-safety-check",
                           "--allow-reinstall", "--no-reboot-check", "-y", "install", cabinet},
        fwupd);
    QVERIFY2((install.exitCode == 0) == installed, install.out.right(400).constData());

    QVERIFY(flash.open(QIODevice::ReadOnly));
    const QByteArray bytes = flash.readAll();
    QStringList found;
    for (const auto &image : images) {
        const QByteArray written = bytes.mid(int(image.first - 0x08000000), image.second.size());
        found << (written == image.second                                 ? "exact"
                      : written == QByteArray(written.size(), char(0xFF)) ? "erased"
                                                                          : "wrong");
    }
    QCOMPARE(found.join(' '), memory);
}

QTEST_GUILESS_MAIN(tst_Fwupd)
#include "tst_fwupd.moc"
