// The check of fwupd's DfuSe erase plan, and fwupdtool installing the packer's cabinets on devsim.
#include "dfuse/dfusewriter.h"
#include "dfusepack/cabinetwriter.h"
#include "dfusepack/fwupdcheck.h"
#include "dfusepack/fwupdmetainfo.h"
#include "tests/toolprocess.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString Flash = "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";

// Each problem as the words that say its kind and the first address range or address it names.
QStringList summary(const QStringList &problems)
{
    const QRegularExpression kind("erased|does not write|fwupd ends|0xFFFF|image size|no --layout");
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
    void differential_data();
    void differential();
};

void tst_Fwupd::erasePlan_data()
{
    QTest::addColumn<QString>("layouts"); // one per alternate setting, ";" between them
    QTest::addColumn<int>("transferSize");
    QTest::addColumn<QString>("elements"); // ALT:ADDRESS:SIZE, or ids=FFFF / imagesize+1
    QTest::addColumn<QString>("problems");
    QTest::addColumn<QString>("merged"); // the problems after --fwupd-merge, or "refused"

    QTest::newRow("shared sector") << Flash << 2048 << "0:0x08000000:0x100 0:0x08000800:0x100"
                                   << "erased 0x08000000"
                                   << "";
    QTest::newRow("gap of a whole sector")
        << Flash << 2048 << "0:0x08000000:0x100 0:0x08008000:0x100"
        << "fwupd ends, erased 0x08008000, does not write 0x08004000-0x08007fff"
        << "refused";
    QTest::newRow("first element past the layout's start")
        << Flash << 2048 << "0:0x08004000:0x100 0:0x08004200:0x100"
        << "fwupd ends, erased 0x08004000, erased 0x08004200, does not write "
           "0x08000000-0x08003fff"
        << "refused";
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

    FwupdDevice device;
    device.layouts = memory;
    device.transferSize = quint32(transferSize);
    const FwupdCheck check(device);
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

namespace {

const QString Option = "@Option Bytes /0x1FFF7800/01*016 e";

// Seeded files for the differential rows: 1 to 3 targets on mixed sector sizes and two regions,
// elements on and off sector boundaries and at the memory's end, and plain images.
void addRandomRows(quint32 seed, int count)
{
    const QStringList flash = {"04*016Kg",
                               "32*002Kg",
                               "02*016Kg,01*032Kg",
                               "01*016Ka,03*016Kg",
                               "04*016Kg/0x08010000/04*016Kg",
                               "02*016Kg/0x08010000/16*002Kg"};
    for (int row = 0; row < count; ++row) {
        QRandomGenerator random(seed * 7919u + quint32(row));
        const QString name = QString("seed %1 file %2").arg(seed).arg(row);
        if (random.bounded(6) == 0) {
            const int memory = random.bounded(2) ? 65536 : 131072;
            const int size = random.bounded(4) == 0 ? memory : 1 + random.bounded(memory);
            QTest::newRow(qPrintable(name))
                << QString() << QString("plain:%1").arg(size)
                << QString("memory=%1%2").arg(memory).arg(random.bounded(3) == 0 ? " pad" : "")
                << QString();
            continue;
        }
        const QString layout = "@Flash /0x08000000/" + flash[random.bounded(flash.size())];
        const MemoryLayout memory = *MemoryLayout::parse(layout.toStdString(), nullptr);
        const std::vector<MemorySector> sectors = memory.sectorsIn(memory.base(), 1u << 30);
        const bool options = random.bounded(4) == 0;
        QStringList targets;
        QVector<MemoryRange> taken;
        const int targetCount = 1 + random.bounded(3);
        for (int t = 0; t < targetCount; ++t) {
            QStringList elements;
            if (options && t == targetCount - 1) {
                targets << "1@0x1FFF7800:16";
                continue;
            }
            for (int e = 0, n = 1 + random.bounded(2); e < n; ++e) {
                for (int attempt = 0; attempt < 20; ++attempt) {
                    const MemorySector sector
                        = sectors[size_t(random.bounded(int(sectors.size())))];
                    const int sizes[] = {1 + random.bounded(5000), 2048 * (1 + random.bounded(8)),
                                         1 + random.bounded(40000)};
                    const quint64 size = quint64(sizes[random.bounded(3)]);
                    quint64 at = sector.start;
                    switch (random.bounded(4)) {
                    case 1:
                        at += 1 + random.bounded(1023);
                        break;
                    case 2: // ends where the sector does
                        at = sector.end() > size ? sector.end() - size : at;
                        break;
                    case 3: { // ends at the memory's end
                        const RegionLayout &region = memory.regions.back();
                        at = region.base + region.size() - std::min<quint64>(size, region.size());
                        break;
                    }
                    }
                    const MemoryRange range {at, at + size};
                    const bool free = std::none_of(taken.begin(), taken.end(), [&](auto &r) {
                        return r.start < range.end && range.start < r.end;
                    });
                    if (!free || !memory.rangesWithout(at, size, MemoryLayout::Writable).empty())
                        continue;
                    taken << range;
                    elements << QString("0@0x%1:%2").arg(at, 8, 16, QChar('0')).arg(size);
                    break;
                }
            }
            if (!elements.isEmpty())
                targets << elements.join(' ');
        }
        if (targets.isEmpty() || targets.first().startsWith("1@"))
            targets.prepend("0@0x08000000:16");
        QStringList settings;
        if (options && random.bounded(2))
            settings << "each";
        if (options && random.bounded(2))
            settings << "quirk";
        if (random.bounded(4) == 0)
            settings << "merge";
        QTest::newRow(qPrintable(name)) << (options ? layout + ";" + Option : layout)
                                        << targets.join(" | ") << settings.join(' ') << QString();
    }
}

int number(const QString &text)
{
    return text.toInt(nullptr, 0);
}

} // namespace

void tst_Fwupd::differential_data()
{
    QTest::addColumn<QString>("layouts"); // one per alternate setting, ";" between them
    QTest::addColumn<QString>("targets"); // ALT@ADDRESS:SIZE ..., " | " between targets
    QTest::addColumn<QString>("settings"); // each, quirk, merge, memory=SIZE, pad
    QTest::addColumn<QString>("words"); // what the check must say, for the cases pinned

    const QString flash = "@Flash /0x08000000/04*016Kg";
    const QString regions = flash + "/0x08010000/04*016Kg";
    const QString twoTargets = "0@0x08000000:4096 | 0@0x08002000:4096";
    QTest::newRow("two targets for alternate setting 0") << flash << twoTargets << ""
                                                         << "0x08000000 (4096 bytes) is left with";
    QTest::newRow("two targets for alternate setting 0, merged") << flash << twoTargets << "merge"
                                                                 << "intact";
    QTest::newRow("an element over two regions") << regions << "0@0x08000000:98304"
                                                 << ""
                                                 << "failed to write STM chunk 33";
    QTest::newRow("an element over two regions, split") << regions << "0@0x08000000:98304"
                                                        << "merge"
                                                        << "intact";
    QTest::newRow("an element that fills the memory") << flash << "0@0x08000000:65536"
                                                      << ""
                                                      << "cannot upload data";
    QTest::newRow("62 KiB on 64 KiB") << flash << "0@0x08000000:63488"
                                      << ""
                                      << "intact";
    QTest::newRow("plain, 100,000 bytes on 256 KiB") << ""
                                                     << "plain:100000"
                                                     << "memory=262144"
                                                     << "invalid size, got 100352, expected 100000";
    QTest::newRow("plain, padded to 256 KiB") << ""
                                              << "plain:100000"
                                              << "memory=262144 pad"
                                              << "intact";
    const QString flashAndOptions = "0@0x08000000:4096 | 1@0x1FFF7800:16";
    QTest::newRow("flash and option bytes, the descriptor after the last, with the quirk")
        << flash + ";" + Option << flashAndOptions << "quirk"
        << "no target with alt-setting 1";
    QTest::newRow("flash and option bytes, a descriptor after each")
        << flash + ";" + Option << flashAndOptions << "each"
        << "intact";

    // More outside CI: BRINDLEFLASH_FWUPD_SEED and BRINDLEFLASH_FWUPD_FILES.
    const QByteArray seed = qgetenv("BRINDLEFLASH_FWUPD_SEED");
    const QByteArray files = qgetenv("BRINDLEFLASH_FWUPD_FILES");
    addRandomRows(seed.isEmpty() ? 31 : seed.toUInt(), files.isEmpty() ? 16 : files.toInt());
}

void tst_Fwupd::differential()
{
    QFETCH(QString, layouts);
    QFETCH(QString, targets);
    QFETCH(QString, settings);
    QFETCH(QString, words);

    const QString fwupdtool = QStandardPaths::findExecutable("fwupdtool");
    QVERIFY2(!fwupdtool.isEmpty(), "No fwupdtool (Debian package fwupd).");
    QTemporaryDir work;
    const QStringList set = settings.split(' ', Qt::SkipEmptyParts);
    const bool plain = targets.startsWith("plain:");
    const int plainMemory = number(settings.section("memory=", 1).section(' ', 0, 0));

    // The file, and the device as the check is told of it.
    DfuSeFile file;
    file.kind = plain ? DfuSeFile::Plain : DfuSeFile::DfuSe;
    file.vendorId = plain ? 0x1209 : 0x0483;
    file.productId = plain ? 0x0001 : 0xDF11;
    file.deviceVersion = 0x0200;
    FwupdDevice device;
    device.plain = plain;
    QStringList check = {"--check-fwupd", work.filePath("fw.dfu")};
    QStringList simulated;
    for (const QString &layout : layouts.split(';', Qt::SkipEmptyParts)) {
        device.layouts.push_back(*MemoryLayout::parse(layout.toStdString(), nullptr));
        check << "--layout" << layout;
        simulated << "--alt" << layout;
    }
    if (plain) {
        MemoryLayout memory;
        memory.regions.push_back(
            {0, {{1, quint32(plainMemory), MemoryLayout::Readable | MemoryLayout::Writable}}});
        device.layouts.push_back(memory);
        file.targets.append(DfuSeTarget());
        file.targets[0].elements.append({0, pattern(number(targets.mid(6)), 1)});
        if (set.contains("pad"))
            file.targets[0].elements[0].data.append(
                QByteArray(plainMemory - number(targets.mid(6)), char(0xFF)));
        check << "--memory-size" << QString::number(plainMemory);
        simulated << "--plain"
                  << "--size" << QString::number(plainMemory) << "--id"
                  << "1209:0001"
                  << "--new-bcd"
                  << "0x0200";
    }
    for (const QString &target : targets.split(" | ", Qt::SkipEmptyParts)) {
        if (plain)
            break;
        file.targets.append(DfuSeTarget());
        for (const QString &element : target.split(' ')) {
            file.targets.last().alternateSetting = quint8(number(element.section('@', 0, 0)));
            file.targets.last().elements.append(
                {quint32(number(element.section('@', 1).section(':', 0, 0))),
                 pattern(number(element.section(':', 1)), quint32(file.elementCount()))});
        }
    }
    if (set.contains("each")) {
        device.descriptor = FwupdDevice::AfterEachAlternate;
        check << "--functional-descriptor"
              << "each";
        simulated << "--functional-descriptor"
                  << "each";
    }
    if (set.contains("quirk")) {
        device.forcedTransferSize = 0x800;
        check << "--quirk-transfer-size"
              << "0x800";
    }
    QString refused;
    if (set.contains("merge"))
        FwupdCheck(device).merge(&file, &refused);
    const QByteArray bytes = plain ? DfuSeWriter::writePlain(file) : DfuSeWriter::write(file);
    QVERIFY(!writeFile(work.filePath("fw.dfu"), bytes).isEmpty());

    // The prediction, as the packer prints it.
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const Run predicted = runProgram(DFUSEPACK, check, env);
    QVERIFY2(predicted.exitCode == 0 || predicted.exitCode == 4, predicted.err.constData());
    const QString said = QString::fromUtf8(predicted.out);
    if (!words.isEmpty())
        QVERIFY2(said.contains(words), qPrintable(said));
    QStringList prediction;
    const QRegularExpression line(
        "fwupd ends \"([^\"]*)\"|element at (0x[0-9a-f]+) \\(\\d+ bytes\\) "
        "is left with (\\d+) bytes wrong|fwupd erases (\\S+), which");
    for (auto match = line.globalMatch(said); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        prediction << (m.capturedLength(1)       ? "fails: " + m.captured(1)
                           : m.capturedLength(2) ? m.captured(2) + ": " + m.captured(3) + " wrong"
                                                 : "erases " + m.captured(4));
    }
    QCOMPARE(predicted.exitCode == 0, prediction.isEmpty());

    // The install, on a device holding old firmware.
    FwupdMetainfo metainfo;
    metainfo.id = "org.example.sim.firmware";
    metainfo.name = metainfo.summary = metainfo.developer = metainfo.description = "Sim";
    metainfo.projectLicense = "MIT";
    metainfo.date = QDate(2026, 1, 1);
    metainfo.vendor = file.vendorId;
    metainfo.product = file.productId;
    metainfo.version = file.deviceVersion;
    metainfo.dfuse = !plain;
    metainfo.firmware = bytes;
    QString error;
    const QByteArray cabinet = CabinetWriter::write(
        {{metainfo.firmwareName, bytes}, {"firmware.metainfo.xml", metainfo.xml()}}, &error);
    QVERIFY2(!writeFile(work.filePath("fw.cab"), cabinet).isEmpty(), qPrintable(error));
    QProcessEnvironment fwupd = env;
    for (const char *folder : {"STATE_DIRECTORY", "CACHE_DIRECTORY", "CONFIGURATION_DIRECTORY",
                               "FWUPD_LOCALSTATEDIR_QUIRKS", "FWUPD_LOCKDIR", "mem"}) {
        QVERIFY(QDir(work.path()).mkpath(folder));
        fwupd.insert(folder, work.filePath(folder));
    }
    if (set.contains("quirk"))
        QVERIFY(!writeFile(work.filePath("FWUPD_LOCALSTATEDIR_QUIRKS/device.quirk"),
                           "[USB\\VID_0483&PID_DF11]\nDfuForceTransferSize = 0x800\n")
                     .isEmpty());
    const auto memoryFile = [&](int alt, quint32 base) {
        return work.filePath(QString("mem/alt%1-%2.bin")
                                 .arg(alt)
                                 .arg(QString::number(base, 16).toUpper().rightJustified(8, '0')));
    };
    for (size_t alt = 0; alt < device.layouts.size(); ++alt) {
        for (const RegionLayout &region : device.layouts[alt].regions)
            QVERIFY(
                !writeFile(memoryFile(int(alt), region.base), QByteArray(int(region.size()), '\0'))
                     .isEmpty());
    }
    const Run install = runProgram(
        DEVSIM,
        simulated
            + QStringList {"--memory", work.filePath("mem"), "--", fwupdtool, "--plugins", "dfu",
                           "--no-safety-check", "--allow-reinstall", "--no-reboot-check", "-y",
                           "install", work.filePath("fw.cab")},
        fwupd);

    // What fwupd did, in the prediction's words.
    QStringList found;
    const QByteArray output = install.out + install.err;
    if (install.exitCode != 0) {
        const QString expected
            = prediction.value(0).startsWith("fails: ") ? prediction[0].mid(7) : QString();
        QString last = QString::fromUtf8(output).trimmed().section('\n', -1);
        found << "fails: "
                + (!expected.isEmpty() && output.contains(expected.toUtf8()) ? expected : last);
    }
    std::vector<std::vector<QByteArray>> memory(device.layouts.size());
    for (size_t alt = 0; alt < device.layouts.size(); ++alt) {
        for (const RegionLayout &region : device.layouts[alt].regions) {
            QFile in(memoryFile(int(alt), region.base));
            QVERIFY(in.open(QIODevice::ReadOnly));
            memory[alt].push_back(in.readAll());
        }
    }
    const auto byteAt = [&](int alt, quint64 at) {
        const MemoryLayout &layout = device.layouts[size_t(alt)];
        for (size_t r = 0; r < layout.regions.size(); ++r) {
            if (at >= layout.regions[r].base
                && at < layout.regions[r].base + layout.regions[r].size())
                return int(quint8(memory[size_t(alt)][r].at(int(at - layout.regions[r].base))));
        }
        return 0;
    };
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &element : target.elements) {
            int wrong = 0;
            for (int i = 0; i < element.data.size(); ++i)
                wrong += byteAt(target.alternateSetting, element.address + quint64(i))
                    != quint8(element.data.at(i));
            if (wrong)
                found
                    << QString("0x%1: %2 wrong").arg(element.address, 8, 16, QChar('0')).arg(wrong);
        }
    }
    for (size_t alt = 0; alt < device.layouts.size() && !plain; ++alt) {
        const MemoryLayout &layout = device.layouts[alt];
        for (const MemorySector &sector : layout.sectorsIn(layout.base(), 1u << 30)) {
            bool written = false, changed = false;
            for (const DfuSeTarget &target : file.targets) {
                for (const DfuSeElement &e : target.elements)
                    written |= target.alternateSetting == alt && e.address < sector.end()
                        && sector.start < e.address + quint64(e.data.size());
            }
            for (quint64 at = sector.start; at < sector.end() && !written && !changed; ++at)
                changed = byteAt(int(alt), at) != 0;
            if (changed)
                found << QString("erases 0x%1-0x%2")
                             .arg(sector.start, 8, 16, QChar('0'))
                             .arg(sector.end() - 1, 8, 16, QChar('0'));
        }
    }
    // The table of the run: the file, what the check said, what fwupd did.
    qInfo("%s | %s | %s | %s", qPrintable(targets), qPrintable(settings),
          qPrintable(prediction.isEmpty() ? "intact" : prediction.join("; ")),
          qPrintable(found.isEmpty() ? "intact" : found.join("; ")));
    QCOMPARE(found.join("; "), prediction.join("; "));
}

QTEST_GUILESS_MAIN(tst_Fwupd)
#include "tst_fwupd.moc"
