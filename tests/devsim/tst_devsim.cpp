// The simulated DFU device: its model answered directly, and brindleflash-devsim run as a process
// with the real dfu-util where the bus itself is what is checked.
#include "devsim/devsimoptions.h"
#include "devsim/dfudevice.h"
#include "devsim/dfufilelayout.h"
#include "dfuse/memorylayout.h"
#include "tests/handmadedfu.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

using D = DfuDevice;

// A host talking to the model as dfu-util does, one request at a time.
class Host
{
public:
    explicit Host(DfuDevice *device)
        : m_device(device)
    { }

    D::Reply out(uint8_t request, uint16_t value, const QByteArray &data = {})
    {
        return m_device->request(request, value,
                                 reinterpret_cast<const uint8_t *>(data.constData()),
                                 uint16_t(data.size()));
    }
    D::Reply in(uint8_t request, uint16_t value, uint16_t length)
    {
        return m_device->request(request, value, nullptr, length);
    }
    // Polls until the device is no longer busy; the status it then reports.
    uint8_t settle()
    {
        D::Reply reply;
        do {
            reply = in(D::GetStatus, 0, 6);
        } while (reply.data.size() == 6 && reply.data[4] == D::DnBusy);
        return reply.data.size() == 6 ? reply.data[0] : 0xFF;
    }
    uint8_t command(uint8_t code, quint32 address)
    {
        QByteArray bytes(5, char(code));
        HandMade::put32(bytes, 1, address);
        out(D::Dnload, 0, bytes);
        return settle();
    }
    uint8_t write(quint32 address, const QByteArray &data)
    {
        command(0x21, address);
        out(D::Dnload, 2, data);
        const uint8_t status = settle();
        if (status != D::Ok)
            out(D::ClrStatus, 0);
        out(D::Abort, 0);
        return status;
    }
    // The bytes read, or a null array when the device refused.
    QByteArray read(quint32 address, int length)
    {
        command(0x21, address);
        out(D::Abort, 0);
        const D::Reply reply = in(D::Upload, 2, uint16_t(length));
        if (reply.stall)
            return {};
        return QByteArray(reinterpret_cast<const char *>(reply.data.data()),
                          int(reply.data.size()));
    }

private:
    DfuDevice *m_device;
};

DeviceConfig plainConfig(quint32 size)
{
    DevsimOptions options;
    std::string error;
    options.plain = true;
    options.size = size;
    DeviceConfig config;
    options.deviceConfig(&config, &error);
    return config;
}

// A plain download as dfu-util makes it: blocks from 0, then an empty one; the final status.
uint8_t plainDownload(Host *host, const QByteArray &image)
{
    for (int at = 0, block = 0; at < image.size(); at += 2048, ++block) {
        host->out(D::Dnload, uint16_t(block), image.mid(at, 2048));
        const uint8_t status = host->settle();
        if (status != D::Ok)
            return status;
    }
    host->out(D::Dnload, 0);
    return host->settle();
}

// A plain upload: blocks until a short one; a null array when the device refused.
QByteArray plainUpload(Host *host)
{
    QByteArray bytes;
    for (uint16_t block = 0;; ++block) {
        const D::Reply reply = host->in(D::Upload, block, 2048);
        if (reply.stall)
            return {};
        bytes += QByteArray(reinterpret_cast<const char *>(reply.data.data()),
                            int(reply.data.size()));
        if (reply.data.size() < 2048)
            return bytes;
    }
}

DeviceConfig dfuseConfig(const QStringList &layouts)
{
    DeviceConfig config;
    for (const QString &text : layouts) {
        std::string error;
        config.alternates.push_back(*MemoryLayout::parse(text.toStdString(), &error));
    }
    return config;
}

using HandMade::withSuffix;

// A DfuSe file by hand, elements given as "ALT:ADDRESS:SIZE", one target per element.
QByteArray dfuseFile(const QStringList &elements, quint16 vendor = 0x0483)
{
    QList<QByteArray> targets;
    for (const QString &element : elements) {
        const QStringList parts = element.split(':');
        QByteArray data(int(parts[2].toUInt(nullptr, 0)), '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i * 13 + 5);
        targets << HandMade::target(quint8(parts[0].toUInt()),
                                    {{parts[1].toUInt(nullptr, 0), data}});
    }
    return HandMade::dfuseFile(targets, vendor);
}

} // namespace

class tst_DevSim : public QObject
{
    Q_OBJECT

private slots:
    void layoutStrings_data();
    void layoutStrings();
    void dfuseTransfers_data();
    void dfuseTransfers();
    void leaveRequest_data();
    void leaveRequest();
    void plainTransfers_data();
    void plainTransfers();
    void plainManifestation_data();
    void plainManifestation();
    void runtimeDetach_data();
    void runtimeDetach();
    void layoutFromFile_data();
    void layoutFromFile();
    void commandLine_data();
    void commandLine();
};

void tst_DevSim::layoutStrings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("regions"); // "BASE+SIZE ..." in hex, empty when refused
    // A range "START+SIZE" and what the layout says of it: its readable parts, the rest, and the
    // sectors it touches, each "START+SIZE" in hex.
    QTest::addColumn<QString>("probe");
    QTest::addColumn<QString>("readable");
    QTest::addColumn<QString>("unreadable");
    QTest::addColumn<QString>("sectors");

    QTest::newRow("default") << DevsimOptions::DefaultAlternate << "08000000+100000"
                             << "08003ff0+20"
                             << "08003ff0+20"
                             << ""
                             << "08000000+4000g 08004000+4000g";
    QTest::newRow("two address groups") << "@Flash /0x08000000/02*002Kg/0x1FFF0000/01*512 a,01*16Bd"
                                        << "08000000+1000 1fff0000+210"
                                        << "08000f00+17fef320"
                                        << "08000f00+100 1fff0000+200"
                                        << "08001000+17fef000 1fff0200+20"
                                        << "08000800+800g 1fff0000+200a 1fff0200+10d";
    QTest::newRow("readable, then write-only") << "@X /0x08000000/1*016Kg,1*016Kf"
                                               << "08000000+8000"
                                               << "08000000+4e20"
                                               << "08000000+4000"
                                               << "08004000+e20"
                                               << "08000000+4000g 08004000+4000f";
    QTest::newRow("megabytes") << "@Big/0x90000000/2*1Mg"
                               << "90000000+200000"
                               << "900ffff0+20"
                               << "900ffff0+20"
                               << ""
                               << "90000000+100000g 90100000+100000g";
    const auto refused = [](const char *name, const char *text) {
        QTestData &row = QTest::newRow(name) << text;
        for (int column = 0; column < 5; ++column)
            row << QString();
    };
    refused("no at sign", "Flash /0x08000000/1*1Kg");
    refused("no address", "@Flash ");
    refused("letter past g", "@Flash /0x08000000/1*1Kh");
    refused("no letter", "@Flash /0x08000000/1*1K");
    refused("zero sectors", "@Flash /0x08000000/0*1Kg");
    refused("bad unit", "@Flash /0x08000000/1*1Xg");
    refused("trailing text", "@Flash /0x08000000/1*1Kg junk");
    refused("overlapping groups", "@F/0x08000000/2*1Kg/0x08000400/1*1Kg");
    refused("past 4 GiB", "@F/0xFFFFFC00/2*1Kg");
}

void tst_DevSim::layoutStrings()
{
    QFETCH(QString, text);
    QFETCH(QString, regions);
    QFETCH(QString, probe);
    QFETCH(QString, readable);
    QFETCH(QString, unreadable);
    QFETCH(QString, sectors);
    std::string error;
    const std::optional<MemoryLayout> layout = MemoryLayout::parse(text.toStdString(), &error);
    QCOMPARE(layout.has_value(), !regions.isEmpty());
    if (!layout) {
        QVERIFY(!error.empty());
        return;
    }
    const auto span = [](uint64_t start, uint64_t size) {
        return QString::number(start, 16).rightJustified(8, '0') + "+" + QString::number(size, 16);
    };
    const auto spans = [&](const std::vector<MemoryRange> &ranges) {
        QStringList found;
        for (const MemoryRange &range : ranges)
            found << span(range.start, range.size());
        return found.join(' ');
    };
    QStringList found;
    for (const RegionLayout &region : layout->regions)
        found << span(region.base, region.size());
    QCOMPARE(found.join(' '), regions);

    const QStringList parts = probe.split('+');
    const uint64_t start = parts[0].toULongLong(nullptr, 16);
    const uint64_t size = parts[1].toULongLong(nullptr, 16);
    QCOMPARE(spans(layout->readableRanges(start, size)), readable);
    QCOMPARE(spans(layout->unreadableRanges(start, size)), unreadable);
    found.clear();
    for (const MemorySector &sector : layout->sectorsIn(start, size)) {
        found << span(sector.start, sector.size) + char('a' + sector.attributes - 1);
        QCOMPARE(layout->sectorAt(sector.start + sector.size - 1)->start, sector.start);
    }
    QCOMPARE(found.join(' '), sectors);
}

void tst_DevSim::dfuseTransfers_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("before"); // written first, without an erase
    QTest::addColumn<bool>("erase");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("readBack"); // null: the upload is refused

    const QString flash = DevsimOptions::DefaultAlternate;
    const QByteArray data = QByteArray::fromHex("0123456789abcdef");
    const QByteArray erased(8, char(0xFF));
    QTest::newRow("erased, written, read")
        << flash << "" << QByteArray() << true << 0x08004000u << data << 0 << data;
    QTest::newRow("flash not erased keeps cleared bits")
        << flash << "" << QByteArray::fromHex("0ff0") << false << 0x08000000u
        << QByteArray::fromHex("f0ff") << 0 << QByteArray::fromHex("00f0");
    QTest::newRow("erase reaches back to the sector start")
        << flash << "" << QByteArray::fromHex("0000") << true << 0x08000000u
        << QByteArray::fromHex("1234") << 0 << QByteArray::fromHex("1234");
    QTest::newRow("across the end of flash")
        << flash << "" << QByteArray() << false << 0x080FFFFCu << data << 8 << erased.left(4);
    QTest::newRow("outside every region")
        << flash << "" << QByteArray() << false << 0x20000000u << data << 8 << QByteArray();
    QTest::newRow("into a read-only sector")
        << "@F/0x08000000/1*1Kg,1*1Ka"
        << "" << QByteArray() << false << 0x080003FCu << data << 8 << erased;
    QTest::newRow("RAM is written without erasing")
        << "@SRAM /0x20000000/01*064Ke"
        << "" << QByteArray::fromHex("0000") << false << 0x20000000u << data << 0 << data;
    QTest::newRow("write-only memory cannot be read")
        << "@F/0x08000000/1*1Kd"
        << "" << QByteArray() << false << 0x08000000u << data << 0 << QByteArray();
    QTest::newRow("error fault") << flash << "error@1:7" << QByteArray() << true << 0x08000000u
                                 << data << 7 << erased;
    QTest::newRow("error fault on a later block")
        << flash << "error@2:10" << QByteArray::fromHex("ff") << true << 0x08000000u << data << 10
        << erased;
    QTest::newRow("corrupt byte") << flash << "corrupt@0x08000001" << QByteArray() << true
                                  << 0x08000000u << data << 0
                                  << QByteArray::fromHex("0122456789abcdef");
    QTest::newRow("read protection") << flash << "readprotect" << QByteArray() << true
                                     << 0x08000000u << data << 0 << QByteArray();
}

void tst_DevSim::dfuseTransfers()
{
    QFETCH(QString, layout);
    QFETCH(QString, fault);
    QFETCH(QByteArray, before);
    QFETCH(bool, erase);
    QFETCH(quint32, address);
    QFETCH(QByteArray, data);
    QFETCH(int, status);
    QFETCH(QByteArray, readBack);

    FaultPlan faults;
    std::string error;
    QVERIFY(fault.isEmpty() || faults.add(fault.toStdString(), &error));
    DfuDevice device(dfuseConfig({layout}), &faults);
    Host host(&device);
    if (!before.isEmpty())
        QCOMPARE(host.write(address, before), uint8_t(D::Ok));
    if (erase)
        QCOMPARE(host.command(0x41, address + quint32(data.size()) - 1), uint8_t(D::Ok));
    QCOMPARE(int(host.write(address, data)), status);
    QCOMPARE(host.read(address, data.size()), readBack);
    QCOMPARE(device.present(), true);
}

void tst_DevSim::leaveRequest_data()
{
    QTest::addColumn<bool>("stay");
    QTest::newRow("leaves the bus") << false;
    QTest::newRow("stays in DFU mode") << true;
}

void tst_DevSim::leaveRequest()
{
    QFETCH(bool, stay);
    FaultPlan faults;
    DeviceConfig config = dfuseConfig({DevsimOptions::DefaultAlternate});
    config.stay = stay;
    DfuDevice device(config, &faults);
    Host host(&device);
    host.out(D::Dnload, 2);
    const D::Reply reply = host.in(D::GetStatus, 0, 6);
    QCOMPARE(int(reply.data.at(4)), int(D::Manifest));
    QCOMPARE(device.takeChange(), stay ? D::Change::Manifested : D::Change::LeftBus);
    QCOMPARE(device.present(), stay);
    QCOMPARE(host.in(D::GetStatus, 0, 6).gone, !stay);
}

void tst_DevSim::plainTransfers_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("readBack"); // null: the upload is refused

    // The device holds 6000 bytes of 'o' before the download.
    const QByteArray image = QByteArray(3000, 'i');
    QTest::newRow("memory past the image kept")
        << "" << image << 0 << image + QByteArray(3000, 'o');
    QTest::newRow("image as large as memory")
        << "" << QByteArray(6000, 'i') << 0 << QByteArray(6000, 'i');
    QTest::newRow("image larger than memory")
        << "" << QByteArray(6001, 'i') << 8 << QByteArray(4096, 'i') + QByteArray(1904, 'o');
    QTest::newRow("error fault") << "error@4:6" << image << 6 << QByteArray(6000, 'o');
    QTest::newRow("corrupt byte") << "corrupt@2049" << image << 0
                                  << QByteArray(2049, 'i') + 'h' + QByteArray(950, 'i')
            + QByteArray(3000, 'o');
    QTest::newRow("no upload capability") << "noupload" << image << 0 << QByteArray();
    QTest::newRow("read protection") << "readprotect" << image << 0 << QByteArray();
}

void tst_DevSim::plainTransfers()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, image);
    QFETCH(int, status);
    QFETCH(QByteArray, readBack);

    std::string error;
    DevsimOptions options;
    QVERIFY(fault.isEmpty() || options.faults.add(fault.toStdString(), &error));
    options.plain = true;
    options.size = 6000;
    DeviceConfig config;
    QVERIFY(options.deviceConfig(&config, &error));
    DfuDevice device(config, &options.faults);
    Host host(&device);
    // Filling memory takes data blocks 1 to 3.
    QCOMPARE(plainDownload(&host, QByteArray(6000, 'o')), uint8_t(D::Ok));
    QCOMPARE(int(plainDownload(&host, image)), status);
    host.out(D::ClrStatus, 0);
    QCOMPARE(plainUpload(&host), readBack);
}

void tst_DevSim::plainManifestation_data()
{
    QTest::addColumn<bool>("manifestReset");
    QTest::addColumn<QList<int>>("states"); // reported after the closing empty download

    QTest::newRow("manifestation tolerant") << false << QList<int> {D::DfuIdle, D::DfuIdle};
    QTest::newRow("not tolerant: waits for a reset")
        << true << QList<int> {D::Manifest, D::ManifestWaitReset};
}

void tst_DevSim::plainManifestation()
{
    QFETCH(bool, manifestReset);
    QFETCH(QList<int>, states);
    FaultPlan faults;
    DeviceConfig config = plainConfig(4096);
    config.manifestationTolerant = !manifestReset;
    DfuDevice device(config, &faults);
    Host host(&device);
    // An empty download with nothing to end, and a detach in DFU mode, are both refused.
    QVERIFY(host.out(D::Dnload, 0).stall);
    host.out(D::ClrStatus, 0);
    QVERIFY(host.out(D::Detach, 1000).stall);
    host.out(D::ClrStatus, 0);

    host.out(D::Dnload, 0, QByteArray(100, 'x'));
    QCOMPARE(host.settle(), uint8_t(D::Ok));
    host.out(D::Dnload, 1);
    QList<int> reported;
    for (int i = 0; i < states.size(); ++i)
        reported << host.in(D::GetStatus, 0, 6).data.at(4);
    QCOMPARE(reported, states);
    QVERIFY(device.present());
    // A bus reset starts the firmware: the device leaves DFU mode, tolerant or not.
    device.takeChange();
    device.busReset();
    QCOMPARE(device.takeChange(), D::Change::LeftBus);
    QVERIFY(!device.present());
}

void tst_DevSim::runtimeDetach_data()
{
    QTest::addColumn<bool>("dfuse");
    QTest::newRow("DfuSe: detaches by itself") << true;
    QTest::newRow("plain: waits for the bus reset") << false;
}

void tst_DevSim::runtimeDetach()
{
    QFETCH(bool, dfuse);
    FaultPlan faults;
    DeviceConfig config
        = dfuse ? dfuseConfig({DevsimOptions::DefaultAlternate}) : plainConfig(4096);
    config.runtime = true;
    DfuDevice device(config, &faults);
    Host host(&device);
    QVERIFY(!device.dfuMode());
    QCOMPARE(int(host.in(D::GetStatus, 0, 6).data.at(4)), int(D::AppIdle));
    QVERIFY(host.in(D::Upload, 0, 64).stall);
    QVERIFY(!host.out(D::Detach, 1000).stall);
    if (!dfuse) {
        QCOMPARE(device.takeChange(), D::Change::None);
        QCOMPARE(int(host.in(D::GetState, 0, 1).data.at(0)), int(D::AppDetach));
        device.busReset();
    }
    QCOMPARE(device.takeChange(), D::Change::Reenumerate);
    QVERIFY(device.dfuMode());
    QCOMPARE(int(host.in(D::GetStatus, 0, 6).data.at(4)), int(D::DfuIdle));
}

void tst_DevSim::layoutFromFile_data()
{
    QTest::addColumn<QStringList>("elements");
    QTest::addColumn<QStringList>("layouts"); // empty when the file is refused

    QTest::newRow("one element") << QStringList {"0:0x08000000:100"}
                                 << QStringList {"@Alternate 0 /0x08000000/1*002Kg"};
    QTest::newRow("not at a sector start")
        << QStringList {"0:0x08000100:2048"} << QStringList {"@Alternate 0 /0x08000000/2*002Kg"};
    QTest::newRow("touching elements share") << QStringList {"0:0x08000800:16", "0:0x08000000:2048"}
                                             << QStringList {"@Alternate 0 /0x08000000/2*002Kg"};
    QTest::newRow("same sector") << QStringList {"0:0x08000000:16", "0:0x08000700:0x200"}
                                 << QStringList {"@Alternate 0 /0x08000000/2*002Kg"};
    QTest::newRow("apart") << QStringList {"0:0x08000000:16", "0:0x08010000:16"}
                           << QStringList {"@Alternate 0 /0x08000000/1*002Kg/0x08010000/1*002Kg"};
    QTest::newRow("unused alternate settings")
        << QStringList {"2:0x20000000:16"}
        << QStringList {"@Alternate 0 /0x00000000/01*256 a", "@Alternate 1 /0x00000000/01*256 a",
                        "@Alternate 2 /0x20000000/1*002Kg"};
}

void tst_DevSim::layoutFromFile()
{
    QFETCH(QStringList, elements);
    QFETCH(QStringList, layouts);
    const QByteArray bytes = dfuseFile(elements);
    DfuFileLayout file;
    std::string error;
    QVERIFY(file.read(std::vector<uint8_t>(bytes.begin(), bytes.end()), &error));
    QStringList found;
    for (const std::string &layout : file.alternates) {
        found << QString::fromStdString(layout);
        QVERIFY(MemoryLayout::parse(layout, &error));
    }
    QCOMPARE(found, layouts);

    // The same file cut short inside its last element is refused.
    const QByteArray cut = bytes.left(bytes.size() - 16 - 1) + bytes.right(16);
    QVERIFY(!file.read(std::vector<uint8_t>(cut.begin(), cut.end()), &error));
}

void tst_DevSim::commandLine_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("check");

    QTest::newRow("exit code passed on") << QStringList() << "exit 3" << 3 << "";
    QTest::newRow("signal as 128+N") << QStringList() << "kill -KILL $$" << 128 + SIGKILL << "";
    QTest::newRow("bad option") << QStringList {"--devices", "0"} << "exit 0" << 125 << "usage";
    QTest::newRow("a port and serial each, two serials alike")
        << QStringList {"--devices", "3", "--serial", "SAME:device3"}
        << "dfu-util -l | grep -q 'path=\"1-2\".*serial=\"BFSIM0000002\"'"
           " && dfu-util -l | grep -q 'path=\"1-3\".*serial=\"SAME\"'"
        << 0 << "";
    QTest::newRow("a fault for one device alone")
        << QStringList {"--devices", "2", "--fault", "error@1:7:device2"}
        << "dfu-util -p 1-1 -a 0 -D fw.dfu && ! dfu-util -p 1-2 -a 0 -D fw.dfu" << 0 << "";
    QTest::newRow("symlink in the memory folder")
        << QStringList {"--memory", "mem"} << "exit 0" << 125 << "symlink";
    QTest::newRow("FIFO as the layout file")
        << QStringList {"--layout-from", "fifo"} << "exit 0" << 125 << "not a regular file";
    QTest::newRow("memory file larger than its region")
        << QStringList {"--memory", "mem"} << "exit 0" << 125 << "bytes, but the region holds";
    // The command ends on the forwarded SIGTERM; what it started is ended too.
    QTest::newRow("SIGTERM forwarded, nothing left behind")
        << QStringList() << "sleep 60 & echo $! > sleeper; kill -TERM $PPID; wait" << 128 + SIGTERM
        << "reaped";
    QTest::newRow("flashed with dfu-util, then left")
        << QStringList {"--memory", "mem"}
        << "dfu-util -a 0 -D fw.dfu && dfu-util -a 0 -s 0x08000000:leave"
           " && ! dfu-util -l | grep -q Found"
        << 0 << "flashed";
    QTest::newRow("back in run-time mode with the new version")
        << QStringList {"--new-bcd", "0x0210"}
        << "dfu-util -l | grep -q 'Found DFU: .*ver=0200' && dfu-util -a 0 -s 0x08000000:leave"
           " && dfu-util -l | grep -q 'Found Runtime: .*ver=0210'"
        << 0 << "";
    // dfu-util -e -R is how a plain device is told to leave DFU mode without a download.
    QTest::newRow("plain device flashed, read back, then left")
        << QStringList {"--plain", "--size", "8K", "--memory", "mem"}
        << "dfu-util -a 0 -D plain.dfu && dfu-util -a 0 -U up.bin && cmp -n 5000 up.bin plain.dfu"
           " && { dfu-util -a 0 -e -R; ! dfu-util -l | grep -q Found; }"
        << 0 << "plain";
}

void tst_DevSim::commandLine()
{
    QFETCH(QStringList, options);
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QString, check);

    QTemporaryDir work;
    const QByteArray firmware = dfuseFile({"0:0x08000100:5000"});
    QFile file(work.filePath("fw.dfu"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(firmware) == firmware.size());
    file.close();
    const QByteArray image = firmware.mid(11 + 274 + 8, 5000);
    QFile plain(work.filePath("plain.dfu"));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write(withSuffix(image, 0x0110)) > 0);
    plain.close();
    QVERIFY(QDir(work.path()).mkdir("mem")
            && ::mkfifo(qPrintable(work.filePath("fifo")), 0600) == 0);
    if (check == "symlink")
        QVERIFY(QFile::link(work.filePath("elsewhere"), work.filePath("mem/alt0-08000000.bin")));
    QFile larger(work.filePath("mem/alt0-08000000.bin"));
    if (check.startsWith("bytes"))
        QVERIFY(larger.open(QIODevice::WriteOnly) && larger.resize(1024 * 1024 + 1));

    QProcess devsim;
    devsim.setWorkingDirectory(work.path());
    devsim.start(DEVSIM, options + QStringList {"--", "sh", "-c", script});
    QVERIFY(devsim.waitForFinished(60000));
    const QByteArray err = devsim.readAllStandardError();
    QCOMPARE(devsim.exitStatus(), QProcess::NormalExit);
    QVERIFY2(devsim.exitCode() == exitCode, err.constData());

    if (check == "usage") {
        QVERIFY(err.contains("Usage: brindleflash-devsim"));
    } else if (check == "symlink") {
        QCOMPARE(err.count('\n'), 1);
        QVERIFY(err.contains("refused"));
        QVERIFY(!QFile::exists(work.filePath("elsewhere")));
    } else if (check.contains(' ')) {
        QVERIFY2(err.contains(check.toUtf8()) && err.count('\n') == 1, err.constData());
        QCOMPARE(larger.size(), check.startsWith("bytes") ? 1024 * 1024 + 1 : 0);
    } else if (check == "reaped") {
        QFile sleeper(work.filePath("sleeper"));
        QVERIFY(sleeper.open(QIODevice::ReadOnly));
        const pid_t pid = pid_t(sleeper.readAll().trimmed().toInt());
        QVERIFY(pid > 0);
        QVERIFY(::kill(pid, 0) != 0);
    } else if (check == "flashed") {
        QFile memory(work.filePath("mem/alt0-08000000.bin"));
        QVERIFY(memory.open(QIODevice::ReadOnly));
        const QByteArray bytes = memory.readAll();
        QCOMPARE(bytes.size(), 1024 * 1024);
        QCOMPARE(bytes.mid(0x100, 5000), image);
        QCOMPARE(bytes.left(0x100), QByteArray(0x100, char(0xFF)));
        QCOMPARE(bytes.mid(0x100 + 5000), QByteArray(bytes.size() - 0x100 - 5000, char(0xFF)));
    } else if (check == "plain") {
        QFile memory(work.filePath("mem/alt0-00000000.bin"));
        QVERIFY(memory.open(QIODevice::ReadOnly));
        QCOMPARE(memory.readAll(), image + QByteArray(8192 - 5000, char(0xFF)));
    }
}

QTEST_GUILESS_MAIN(tst_DevSim)
#include "tst_devsim.moc"
