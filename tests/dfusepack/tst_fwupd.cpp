// The check of fwupd's DfuSe erase plan, and fwupdtool installing the packer's cabinets on devsim.
#include "dfuse/dfusereader.h"
#include "dfuse/dfusewriter.h"
#include "dfusepack/fwupdcheck.h"
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

// fwupd without its daemon, every folder it keeps state in private, and a folder for memory.
QProcessEnvironment fwupdEnvironment(const QTemporaryDir &work)
{
    QProcessEnvironment fwupd = QProcessEnvironment::systemEnvironment();
    for (const char *folder : {"STATE_DIRECTORY", "CACHE_DIRECTORY", "CONFIGURATION_DIRECTORY",
                               "FWUPD_LOCALSTATEDIR_QUIRKS", "FWUPD_LOCKDIR", "mem"}) {
        QDir(work.path()).mkpath(folder);
        fwupd.insert(folder, work.filePath(folder));
    }
    return fwupd;
}

Run install(const QStringList &device, const QString &cabinet, const QProcessEnvironment &fwupd)
{
    return runProgram(DEVSIM,
                      device
                          + QStringList {"--memory", fwupd.value("mem"), "--",
                                         QStandardPaths::findExecutable("fwupdtool"), "--plugins",
                                         "dfu", "--no-safety-check", "--allow-reinstall",
                                         "--no-reboot-check", "-y", "install", cabinet},
                      fwupd);
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

    const QProcessEnvironment fwupd = fwupdEnvironment(work);
    const Run details = runProgram(fwupdtool, {"get-details", cabinet}, fwupd);
    QVERIFY2(details.exitCode == 0, details.out.right(400).constData());

    // Old firmware in the flash, so that a sector fwupd leaves unerased shows.
    QFile flash(work.filePath("mem/alt0-08000000.bin"));
    const Run installed = install(QStringList {"--alt", layout, "--fill", "00"}
                                      + device.split(' ', Qt::SkipEmptyParts),
                                  cabinet, fwupd);
    QVERIFY2(failure.isEmpty() ? installed.exitCode == 0
                               : (installed.out + installed.err).contains(failure.toUtf8()),
             installed.out.right(400).constData());

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
    const QStringList flash = QString("04*016Kg 32*002Kg 02*016Kg,01*032Kg 01*016Ka,03*016Kg "
                                      "04*016Kg/0x08010000/04*016Kg 02*016Kg/0x08010000/16*002Kg")
                                  .split(' ');
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
                const MemorySector sector = sectors[size_t(random.bounded(int(sectors.size())))];
                const RegionLayout &last = memory.regions.back();
                const int sizes[] = {1 + random.bounded(5000), 2048 * (1 + random.bounded(8)),
                                     1 + random.bounded(40000)};
                const quint64 size = quint64(sizes[random.bounded(3)]);
                // On a sector's start, past it, ending with it, or at the memory's end.
                const quint64 places[]
                    = {sector.start, sector.start + 1 + random.bounded(1023),
                       sector.end() - std::min<quint64>(size, sector.size),
                       last.base + last.size() - std::min<quint64>(size, last.size())};
                const quint64 at = places[random.bounded(4)];
                const bool free = std::none_of(taken.begin(), taken.end(), [&](auto &r) {
                    return r.start < at + size && at < r.end;
                });
                if (!free || !memory.rangesWithout(at, size, MemoryLayout::Writable).empty())
                    continue;
                taken.push_back({at, at + size});
                elements << QString("0@0x%1:%2").arg(at, 8, 16, QChar('0')).arg(size);
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
    QTest::newRow("2 KiB sectors: one never erased") << "@Flash /0x08000000/32*002Kg"
                                                     << "0@0x08000000:32768"
                                                     << ""
                                                     << "verify failed";
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
    addRandomRows(seed.isEmpty() ? 31 : seed.toUInt(), files.isEmpty() ? 14 : files.toInt());
}

void tst_Fwupd::differential()
{
    QFETCH(QString, layouts);
    QFETCH(QString, targets);
    QFETCH(QString, settings);
    QFETCH(QString, words);

    QTemporaryDir work;
    const QStringList set = settings.split(' ', Qt::SkipEmptyParts);
    const bool plain = targets.startsWith("plain:");
    const int memorySize = number(settings.section("memory=", 1).section(' ', 0, 0));

    // The file, and the device as the check and brindleflash-devsim are told of it.
    FwupdDevice device;
    device.plain = plain;
    QStringList check, simulated;
    for (const QString &layout : layouts.split(';', Qt::SkipEmptyParts)) {
        device.layouts.push_back(*MemoryLayout::parse(layout.toStdString(), nullptr));
        check << "--layout" << layout;
        simulated << "--alt" << layout;
    }
    DfuSeFile file {plain ? DfuSeFile::Plain : DfuSeFile::DfuSe,
                    0x0200,
                    quint16(plain ? 0x0001 : 0xDF11),
                    quint16(plain ? 0x1209 : 0x0483),
                    {}};
    if (plain) {
        device.layouts.push_back(*MemoryLayout::parse(
            QString("@Flash /0x0/1*%1 e").arg(memorySize).toStdString(), nullptr));
        file.targets = {DfuSeTarget {0, false, {}, {{0, pattern(number(targets.mid(6)), 1)}}}};
        check << "--memory-size" << QString::number(memorySize);
        simulated << QString("--plain --size %1 --id 1209:0001 --new-bcd 0x0200")
                         .arg(memorySize)
                         .split(' ');
    }
    for (const QString &target : plain ? QStringList() : targets.split(" | ")) {
        file.targets.append(DfuSeTarget());
        for (const QString &element : target.split(' ', Qt::SkipEmptyParts)) {
            file.targets.last().alternateSetting = quint8(number(element.section('@', 0, 0)));
            file.targets.last().elements.append(
                {quint32(number(element.section('@', 1).section(':', 0, 0))),
                 pattern(number(element.section(':', 1)), quint32(file.elementCount()))});
        }
    }
    if (set.contains("each")) {
        device.descriptor = FwupdDevice::AfterEachAlternate;
        check << QStringList {"--functional-descriptor", "each"};
        simulated << QStringList {"--functional-descriptor", "each"};
    }
    if (set.contains("quirk")) {
        device.forcedTransferSize = 0x800;
        check << QStringList {"--quirk-transfer-size", "0x800"};
    }
    QVERIFY(!writeFile(work.filePath("in.dfu"),
                       plain ? DfuSeWriter::writePlain(file) : DfuSeWriter::write(file))
                 .isEmpty());

    // Packed for fwupd by the packer, then checked as it prints it.
    const QStringList packing
        = QString("--check-fwupd %1 -o %2 --cab %3 --force --cab-id org.example.sim.firmware "
                  "--cab-name Sim --cab-summary Sim --cab-developer Sim --cab-license MIT "
                  "--cab-description Sim")
              .arg(work.filePath("in.dfu"), work.filePath("fw.dfu"), work.filePath("fw.cab"))
              .split(' ')
        + QStringList(set.contains("pad") ? "--pad-to=" + QString::number(memorySize) : "--force");
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    Run packed = runProgram(
        DFUSEPACK,
        packing + check + QStringList(set.contains("merge") ? "--fwupd-merge" : "--force"), env);
    // Where merging would change the flash, the file goes as it is.
    if (packed.err.contains("Cannot merge for fwupd"))
        packed = runProgram(DFUSEPACK, packing + check, env);
    QVERIFY2(packed.exitCode == 0, packed.err.constData());
    const Run said = runProgram(
        DFUSEPACK, QStringList {"--check-fwupd", work.filePath("fw.dfu")} + check, env);
    QVERIFY2(said.out.contains(words.toUtf8()), said.out.constData());
    DfuSeReader reader;
    QVERIFY(reader.readFile(work.filePath("fw.dfu")));
    file = reader.file();
    const FwupdOutcome predicted = FwupdModel(device).install(file);

    // The install, on a device holding old firmware.
    const QProcessEnvironment fwupd = fwupdEnvironment(work);
    if (set.contains("quirk"))
        QVERIFY(!writeFile(work.filePath("FWUPD_LOCALSTATEDIR_QUIRKS/device.quirk"),
                           "[USB\\VID_0483&PID_DF11]\nDfuForceTransferSize = 0x800\n")
                     .isEmpty());
    const auto memoryFile = [&](size_t alt, quint32 base) {
        return work.filePath(QString("mem/alt%1-%2.bin")
                                 .arg(alt)
                                 .arg(QString::number(base, 16).toUpper().rightJustified(8, '0')));
    };
    const Run installed
        = install(simulated + QStringList {"--fill", "00"}, work.filePath("fw.cab"), fwupd);

    // What fwupd said and left, against the prediction.
    const QByteArray output = installed.out + installed.err;
    const QString ended = installed.exitCode == 0 ? QString()
        : output.contains(predicted.error.toUtf8()) && !predicted.error.isEmpty()
        ? predicted.error
        : QString::fromUtf8(output.trimmed().split('\n').last());
    int wrong = 0;
    for (size_t alt = 0; alt < device.layouts.size(); ++alt) {
        for (size_t r = 0; r < device.layouts[alt].regions.size(); ++r) {
            QFile in(memoryFile(alt, device.layouts[alt].regions[r].base));
            QVERIFY(in.open(QIODevice::ReadOnly));
            const QByteArray left = in.readAll(), meant = predicted.memory[alt][r];
            for (int i = 0; i < left.size(); ++i)
                wrong += i >= meant.size() || left.at(i) != meant.at(i);
        }
    }
    int damaged = 0;
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &e : target.elements) {
            const QByteArray left = FwupdModel(device).read(predicted, target.alternateSetting,
                                                            e.address, quint64(e.data.size()));
            for (int i = 0; i < left.size(); ++i)
                damaged += left.at(i) != e.data.at(i);
        }
    }
    qInfo("%s | %s | check: %s%s, %d firmware bytes wrong | fwupd: %s, %s", qPrintable(targets),
          qPrintable(settings), said.exitCode ? "damaged" : "intact",
          qPrintable(predicted.error.isEmpty() ? "" : " (\"" + predicted.error + "\")"), damaged,
          qPrintable(ended.isEmpty() ? "succeeds" : "\"" + ended + "\""),
          qPrintable(wrong ? QString("%1 bytes not as predicted").arg(wrong)
                           : "memory as predicted"));
    QCOMPARE(ended, predicted.error);
    QCOMPARE(wrong, 0);
    // The check passes no file that fwupd leaves other than meant.
    QVERIFY2((ended.isEmpty() && damaged == 0) || said.exitCode == 4, said.out.constData());
}

QTEST_GUILESS_MAIN(tst_Fwupd)
#include "tst_fwupd.moc"
