// The check of fwupd's DfuSe erase plan, and fwupdtool installing the packer's cabinets on devsim.
#include "tests/toolprocess.h"
#include "dfuse/dfusewriter.h"
#include "dfusepack/fwupdcheck.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Flash = "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";

// Each problem as the words that say its kind and the first address range or address it names.
QStringList summary(const QStringList &problems)
{
    const QRegularExpression kind("wiping|does not write|without erasing|no writable|0xFFFF|"
                                  "image size|no --layout");
    const QRegularExpression range("0x[0-9a-f]{8}(-0x[0-9a-f]{8})?");
    QStringList found;
    for (const QString &problem : problems)
        found << (kind.match(problem).captured() + " " + range.match(problem).captured()).trimmed();
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
    QTest::addColumn<QString>("layouts"); // one per alternate setting, ";" between them
    QTest::addColumn<int>("transferSize");
    QTest::addColumn<QString>("elements"); // ALT:ADDRESS:SIZE, or ids=FFFF / imagesize+1
    QTest::addColumn<QString>("problems");
    QTest::addColumn<QString>("merged"); // the problems after --fwupd-merge, or "refused"

    const QString small = "@Flash /0x08000000/4*002Kg";
    QTest::newRow("boundary start (the badge sample)")
        << Flash << 2048 << "0:0x08000000:15024 0:0x08004000:352840"
        << "wiping 0x08000000-0x08003fff"
        << "";
    QTest::newRow("shared sector") << Flash << 2048 << "0:0x08000000:0x100 0:0x08000800:0x100"
                                   << "wiping 0x08000000-0x08003fff"
                                   << "";
    QTest::newRow("apart, no boundary") << Flash << 2048 << "0:0x08000000:0x100 0:0x08008100:0x100"
                                        << ""
                                        << "refused";
    QTest::newRow("gap of a whole sector")
        << Flash << 2048 << "0:0x08000000:0x100 0:0x08008000:0x100"
        << "does not write 0x08004000-0x08007fff, without erasing 0x08008000-0x0800bfff"
        << "refused";
    QTest::newRow("first element past the layout's start")
        << Flash << 2048 << "0:0x08004000:0x100 0:0x08004200:0x100"
        << "does not write 0x08000000-0x08003fff, without erasing 0x08004000-0x08007fff, "
           "wiping 0x08004000-0x08007fff"
        << "refused";
    QTest::newRow("read-only boot loader before it")
        << "@Flash /0x08000000/01*016Ka,03*016Kg" << 2048 << "0:0x08004000:0x100"
        << "no writable 0x08004000"
        << "no writable 0x08004000";
    QTest::newRow("chunk on a sector's end") << small << 2048 << "0:0x08000000:8192"
                                             << "without erasing 0x08001800-0x08001fff"
                                             << "without erasing 0x08001800-0x08001fff";
    QTest::newRow("chunk on a sector's end, smaller transfers")
        << small << 1024 << "0:0x08000000:8192"
        << ""
        << "";
    const QString plan = "does not write 0x08000000-0x08003fff, without erasing "
                         "0x08004000-0x08007fff";
    QTest::newRow("several alternate settings")
        << Flash + ";@Option Bytes /0x1FFF7800/01*016 e" << 2048
        << "0:0x08004000:0x100 1:0x1FFF7800:16" << plan << plan;
    QTest::newRow("alternate setting without a layout") << Flash << 2048 << "1:0x08000000:16"
                                                        << "no --layout"
                                                        << "no --layout";
    QTest::newRow("no vendor id") << Flash << 2048 << "0:0x08000000:16 ids=FFFF"
                                  << "0xFFFF"
                                  << "0xFFFF";
    QTest::newRow("image size off by one") << Flash << 2048 << "0:0x08000000:16 imagesize+1"
                                           << "image size"
                                           << "";
}

void tst_Fwupd::erasePlan()
{
    QFETCH(QString, layouts);
    QFETCH(int, transferSize);
    QFETCH(QString, elements);
    QFETCH(QString, problems);
    QFETCH(QString, merged);

    std::vector<MemoryLayout> memory;
    for (const QString &text : layouts.split(';')) {
        std::string error;
        memory.push_back(*MemoryLayout::parse(text.toStdString(), &error));
    }
    DfuSeFile file;
    file.vendorId = elements.contains("ids=FFFF") ? 0xFFFF : 0x0483;
    file.productId = 0xDF11;
    for (const QString &element : elements.split(' ')) {
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
    QCOMPARE(summary(check.check(file, bytes)).join(", "), problems);
    const DfuSeFile original = file;
    QString problem;
    if (!check.merge(&file, &problem)) {
        QCOMPARE(QString("refused"), merged);
        return;
    }
    QCOMPARE(summary(check.check(file, DfuSeWriter::write(file))).join(", "), merged);
    // The merged element holds every element where it was, the gaps erased flash.
    for (int t = 0; t < file.targets.size(); ++t) {
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
    QTest::addColumn<QString>("elements"); // ADDRESS:SIZE ...
    QTest::addColumn<QString>("packing"); // options beside the cabinet's
    QTest::addColumn<QString>("device"); // brindleflash-devsim's options
    QTest::addColumn<int>("packed");
    QTest::addColumn<QString>("failure"); // what fwupdtool ends with, empty when it succeeds
    QTest::addColumn<QString>("memory"); // per element: exact, erased or wrong

    const QString none, badge = "0x08000000:15024 0x08004000:352840";
    const QString dfuMode = "--vid 0x0483 --pid 0xDF11 --bcd 0x0200";
    QTest::newRow("badge, packed as it is")
        << Flash << badge << dfuMode << none << 4 << none << none;
    QTest::newRow("badge, forced: the first element erased")
        << Flash << badge << dfuMode + " --force" << none << 0 << none << "erased exact";
    QTest::newRow("badge, merged")
        << Flash << badge << dfuMode + " --fwupd-merge" << none << 0 << none << "exact exact";
    QTest::newRow("back in run-time mode with the new version")
        << Flash << "0x08000000:40000"
        << "--vid 0x1209 --pid 0x0001 --bcd 0x0210"
        << "--id 1209:0001 --new-bcd 0x0210" << 0 << none << "exact";
    QTest::newRow("2 KiB sectors, forced: the last one unerased")
        << "@Flash /0x08000000/32*002Kg"
        << "0x08000000:32768" << dfuMode + " --force" << none << 0 << "verify failed"
        << "wrong";
}

void tst_Fwupd::installs()
{
    QFETCH(QString, layout);
    QFETCH(QString, elements);
    QFETCH(QString, packing);
    QFETCH(QString, device);
    QFETCH(int, packed);
    QFETCH(QString, failure);
    QFETCH(QString, memory);

    const QString fwupdtool = QStandardPaths::findExecutable("fwupdtool");
    QVERIFY2(!fwupdtool.isEmpty(),
             "No fwupdtool (Debian package fwupd): scripts/install-deps "
             "test installs it.");
    QTemporaryDir work;
    QStringList inputs;
    QList<QPair<quint32, QByteArray>> images;
    for (const QString &element : elements.split(' ')) {
        const QStringList parts = element.split(':');
        images.append({parts[0].toUInt(nullptr, 0), pattern(parts[1].toInt(), images.size())});
        QFile image(work.filePath(parts[0] + ".bin"));
        QVERIFY(image.open(QIODevice::WriteOnly) && image.write(images.last().second) > 0);
        inputs << parts[0] + ":" + image.fileName();
    }
    const QString cabinet = work.filePath("fw.cab");
    const QStringList metadata = QStringList {"--cab", cabinet, "--layout", layout}
        + QString("--cab-id org.example.sim.firmware --cab-name Sim --cab-summary Simulated "
                  "--cab-developer Brindleflash --cab-license MIT --cab-description Test")
              .split(' ');
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const Run pack = runProgram(DFUSEPACK, metadata + packing.split(' ') + inputs, env);
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
    const qint64 size = layout == Flash ? 1024 * 1024 : 65536;
    QVERIFY(flash.open(QIODevice::WriteOnly) && flash.write(QByteArray(int(size), '\0')) == size);
    flash.close();
    const Run install = runProgram(
        DEVSIM,
        QStringList {"--alt", layout, "--memory", work.filePath("mem")}
            + device.split(' ', Qt::SkipEmptyParts)
            + QStringList {"--", fwupdtool, "--plugins", "dfu", "--no-safety-check",
                           "--allow-reinstall", "--no-reboot-check", "-y", "install", cabinet},
        fwupd);
    QVERIFY2(failure.isEmpty() ? install.exitCode == 0
                               : (install.out + install.err).contains(failure.toUtf8()),
             install.out.right(400).constData());

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
