// dfu-util -l names every DFU interface it sees; the device is the one USB path among those
// with the file's ids.
#include "dfusecommand/devicefinder.h"

#include "dfuse/dfuseformat.h"
#include "dfusecommand/os/platformadvice.h"
#include "dfusecommand/phasereporter.h"
#include "dfusecommand/toolcontract.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

namespace {

QString idText(quint16 id)
{
    return id == 0xFFFF ? QString("*") : DfuSeFormat::hex32(id).right(4);
}

// The file's ids, or any for 0xFFFF, against the ids dfu-util prints in lower-case hex.
bool idMatches(quint16 wanted, const QString &found)
{
    return wanted == 0xFFFF || found.toUShort(nullptr, 16) == wanted;
}

QString portsOf(const QVector<DeviceFinder::Device> &devices)
{
    QStringList ports;
    for (const DeviceFinder::Device &device : devices)
        ports << QString("%1 (serial \"%2\")").arg(device.path, device.serial);
    return ports.join(", ");
}

} // namespace

QString DeviceFinder::Device::line() const
{
    return QString("%1%2: %3, serial \"%4\", bcdDevice %5, \"%6\"")
        .arg(ToolContract::DeviceLinePrefix, path, ids, serial, version, name);
}

DeviceFinder::DeviceFinder(const DfuUtilRunner &runner, int waitSeconds)
    : runner(runner)
    , waitSeconds(waitSeconds)
{ }

ToolResult DeviceFinder::select(const QString &selection)
{
    static const QRegularExpression port("^[0-9]+-[0-9]+(\\.[0-9]+)*$");
    static const QRegularExpression serial("^serial:([\\x20-\\x7E]+)$");
    selectedPort.clear();
    selectedSerial.clear();
    if (selection.isEmpty())
        return ToolResult::success();
    if (port.match(selection).hasMatch()) {
        selectedPort = selection;
        return ToolResult::success();
    }
    const QRegularExpressionMatch match = serial.match(selection);
    if (match.hasMatch()) {
        selectedSerial = match.captured(1);
        return ToolResult::success();
    }
    return ToolResult::failure(ExitUsage,
                               QString("%1 is \"%2\". Give a USB port path such as 1-2.3, as "
                                       "the tool lists the devices, or serial:SERIAL.")
                                   .arg(ToolContract::DeviceVariable, selection));
}

bool DeviceFinder::selected(const Device &device) const
{
    return (selectedPort.isEmpty() || device.path == selectedPort)
        && (selectedSerial.isEmpty() || device.serial == selectedSerial);
}

ToolResult DeviceFinder::find(quint16 vendor, quint16 product, PhaseReporter &progress,
                              Listing *found, Wanted wanted)
{
    vendorId = vendor;
    productId = product;
    foundIds.clear();
    foundPath.clear();

    QElapsedTimer clock;
    clock.start();
    qint64 deadline = qint64(waitSeconds) * 1000;
    bool announced = false;
    bool graceGiven = false;
    bool everListed = false;
    bool detachAsked = false;
    QString listingFailure;
    Listing listing;
    for (;;) {
        listing = Listing();
        const ToolResult listed = list(&listing);
        if (!listed.ok())
            return listed;
        // A failed listing may be the device arriving: go on waiting, and say so once.
        if (!listing.failure.isEmpty() && listing.failure != listingFailure)
            progress.context("dfu-util could not list the USB devices: " + listing.failure);
        listingFailure = listing.failure;
        everListed = everListed || listing.failure.isEmpty();
        if (wanted == EveryDevice) {
            for (const Device &device : qAsConst(listing.runtime)) {
                if (idMatches(vendorId, device.ids.left(4))
                    && idMatches(productId, device.ids.mid(5)))
                    listing.matching << device;
            }
            if (!listing.matching.isEmpty()) {
                *found = listing;
                return ToolResult::success();
            }
        }
        if (listing.matching.size() > 1)
            return several(listing.matching, false, progress);
        if (listing.matching.size() == 1)
            break;
        if (!detachAsked && !listing.runtime.isEmpty()) {
            ToolResult detached = ToolResult::success();
            detachAsked = detach(listing, progress, &detached);
            if (!detached.ok())
                return detached;
        }
        if (listing.accessDenied && !graceGiven) {
            deadline = qMin(deadline, clock.elapsed() + AccessGraceMs);
            graceGiven = true;
        }
        if (clock.elapsed() >= deadline) {
            if (!everListed)
                return ToolResult::failure(ExitNoBackend,
                                           "dfu-util cannot list the USB devices (" + listingFailure
                                               + "). Check that it works: run dfu-util -l.");
            if (listing.accessDenied)
                return DfuUtilRunner::cannotOpen(
                    deviceName(), PlatformAdvice::deniedReason(listing.deniedBecause));
            // A slow listing can take the wait past its limit: the message tells the time taken.
            const qint64 waited = (clock.elapsed() + 500) / 1000;
            QString message
                = (waited <= waitSeconds
                       ? QString("No DFU device %1 appeared within %2 s. ")
                             .arg(deviceName())
                             .arg(waitSeconds)
                       : QString("No DFU device %1 appeared in %2 s (the wait was set to %3 s, "
                                 "but listing the devices took longer). ")
                             .arg(deviceName())
                             .arg(waited)
                             .arg(waitSeconds))
                + DfuUtilRunner::ConnectAdvice;
            Listing whole;
            if (!selectedPort.isEmpty() && list(&whole, true).ok()) {
                listing.elsewhere = whole.elsewhere;
                listing.others = whole.others;
            }
            if (!listing.elsewhere.isEmpty())
                message
                    += QString(" (%1 is \"%2\"; the DFU devices %3 connected are at USB "
                               "ports %4.)")
                           .arg(ToolContract::DeviceVariable,
                                selectedPort.isEmpty() ? "serial:" + selectedSerial : selectedPort,
                                listing.elsewhere.first().upperIds(), portsOf(listing.elsewhere));
            if (!listing.others.isEmpty())
                message += " (Connected in DFU mode, but not the one this file is for: "
                    + listing.others.join(", ") + ".)";
            if (detachAsked)
                message += " (A device in run-time mode was asked to switch to DFU mode.)";
            return ToolResult::failure(ExitNoDevice, message);
        }
        if (!announced) {
            progress.context(QString("Waiting up to %1 s for the DFU device %2 to appear")
                                 .arg(waitSeconds)
                                 .arg(deviceName()));
            announced = true;
        }
        QThread::msleep(PollIntervalMs);
    }

    const Device &device = listing.matching.first();
    QStringList alternates;
    for (int alternate : listing.alternates)
        alternates << QString::number(alternate);
    progress.context(
        QString("Found the DFU device %1 (USB path %2, device number %3, alternate "
                "settings %4)")
            .arg(device.upperIds(), device.path, device.devnum, alternates.join(", ")));
    foundIds = device.upperIds();
    foundPath = device.path;
    *found = listing;
    return ToolResult::success();
}

// Names each device on a line of its own before refusing to choose among them.
ToolResult DeviceFinder::several(const QVector<Device> &devices, bool runtime,
                                 PhaseReporter &progress) const
{
    for (const Device &device : devices)
        progress.context(device.line());
    return ToolResult::failure(ExitSeveralDevices,
                               QString("%1 %2 %3 are connected%4. Unplug all but the one to "
                                       "update and retry, or choose it with %5 (its USB port "
                                       "path, as listed, or serial:SERIAL).")
                                   .arg(devices.size())
                                   .arg(runtime ? "devices" : "DFU devices", deviceName(),
                                        runtime ? " in run-time mode" : "",
                                        ToolContract::DeviceVariable));
}

// Asks the run-time device the file is for, or the only one there is, to switch to DFU mode.
// False when there was none to ask; *result holds a failure when there were several.
bool DeviceFinder::detach(const Listing &listing, PhaseReporter &progress, ToolResult *result)
{
    QVector<Device> candidates = listing.runtime;
    if (candidates.size() > 1) {
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const Device &device) {
                                            return !idMatches(vendorId, device.ids.left(4))
                                                || !idMatches(productId, device.ids.mid(5));
                                        }),
                         candidates.end());
    }
    if (candidates.size() > 1)
        *result = several(candidates, true, progress);
    if (candidates.size() != 1)
        return false;

    const QString ids = candidates.first().upperIds();
    const QString path = candidates.first().path;
    // Its boot loader may well have a serial of its own: from now on the port tells it.
    if (!selectedSerial.isEmpty()) {
        selectedPort = path;
        selectedSerial.clear();
    }
    const QStringList arguments = {"-d", ids.toLower(), "-p", path, "-e"};
    progress.context("Running dfu-util " + arguments.join(' '));
    const DfuUtilRunner::Run run = runner.run(arguments, [&](const DfuUtilOutput::Record &record) {
        DfuUtilRunner::passOn(record, progress);
    });
    if (run.started && !run.crashed && run.exitCode == 0)
        progress.context(QString("Asked the run-time device %1 (USB path %2) to switch to DFU "
                                 "mode")
                             .arg(ids, path));
    else
        progress.context(QString("The run-time device %1 (USB path %2) could not be asked to "
                                 "switch to DFU mode: %3")
                             .arg(ids, path, DfuUtilRunner::messageOf(run)));
    return true;
}

ToolResult DeviceFinder::list(Listing *listing, bool whole) const
{
    // dfu-util 0.11: Found DFU: [0483:df11] ver=0200, devnum=2, cfg=1, intf=0, path="1-1",
    // alt=0, name="@Internal Flash  /0x08000000/...", serial="3262355B3231"
    static const QRegularExpression found(
        "^Found (DFU|Runtime): \\[([0-9a-fA-F]{4}:[0-9a-fA-F]{4})\\] (?:ver=([0-9a-fA-F]{4}), )?"
        ".*devnum=(\\d+),.* path=\"([^\"]*)\", alt=(\\d+)(?:, name=\"([^\"]*)\"?)?"
        "(?:, serial=\"([^\"]*)\")?");
    // With a port chosen, dfu-util opens that device alone: the others may be busy with
    // updates of their own.
    const QStringList arguments = whole || selectedPort.isEmpty()
        ? QStringList {"-l"}
        : QStringList {"-l", "-p", selectedPort};
    const DfuUtilRunner::Run result = runner.run(
        arguments,
        [&](const DfuUtilOutput::Record &record) {
            if (record.kind != DfuUtilOutput::Record::Text)
                return;
            const QRegularExpressionMatch match = found.match(QString::fromUtf8(record.text));
            if (!match.hasMatch())
                return;
            Device device;
            device.runtime = match.captured(1) == "Runtime";
            device.ids = match.captured(2).toLower();
            device.version = match.captured(3);
            device.devnum = match.captured(4);
            device.path = match.captured(5);
            device.name = match.captured(7);
            device.serial = match.captured(8);
            const int alternate = match.captured(6).toInt();
            const auto same = [&](const Device &other) {
                return other.path == device.path && other.devnum == device.devnum;
            };
            const auto seen = [&](const QVector<Device> &devices) {
                return std::any_of(devices.begin(), devices.end(), same);
            };
            if (device.runtime) {
                if (selected(device) && !seen(listing->runtime))
                    listing->runtime << device;
                return;
            }
            if (!idMatches(vendorId, device.ids.left(4))
                || !idMatches(productId, device.ids.mid(5))) {
                if (!listing->others.contains(device.upperIds()))
                    listing->others << device.upperIds();
                return;
            }
            if (!selected(device)) {
                if (!seen(listing->elsewhere))
                    listing->elsewhere << device;
                return;
            }
            if (!seen(listing->matching))
                listing->matching << device;
            if (same(listing->matching.first())) {
                listing->alternates << alternate;
                // DfuSe names each alternate setting by its memory layout, "@Name /0x...".
                if (device.name.startsWith('@')) {
                    listing->layouts = true;
                    listing->layoutTexts.insert(alternate, device.name);
                }
            }
        },
        DfuUtilRunner::TimeLimit);
    if (!result.started)
        return runner.failure(result, "listing the USB devices", false, deviceName());
    if (result.stopped)
        listing->failure = QString("dfu-util -l was still running after %1 s and was ended")
                               .arg(DfuUtilRunner::ListingLimitMs / 1000);
    else if (result.crashed || result.exitCode != 0)
        listing->failure = DfuUtilRunner::messageOf(result);

    static const QRegularExpression denied(QString(DfuUtilRunner::CannotOpenText)
                                           + " ([0-9a-fA-F]{4}):([0-9a-fA-F]{4})"
                                             "[^(\\n]*(?:\\((LIBUSB_[A-Z_]+)\\))?");
    QRegularExpressionMatchIterator it = denied.globalMatch(QString::fromUtf8(result.err));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        if (idMatches(vendorId, match.captured(1)) && idMatches(productId, match.captured(2))) {
            listing->accessDenied = true;
            listing->deniedBecause = match.captured(3);
        }
    }
    return ToolResult::success();
}

QVector<DeviceFinder::Device> DeviceFinder::everyDevice() const
{
    DeviceFinder all(runner, 0);
    Listing listing;
    if (!all.list(&listing, true).ok() || !listing.failure.isEmpty())
        return {};
    return listing.matching + listing.runtime;
}

// A leading comma makes dfu-util match these ids on devices in DFU mode; without it they
// would only name a run-time device and any device in DFU mode would do. The port, when a
// device was chosen, keeps every other device out.
QStringList DeviceFinder::deviceArguments() const
{
    QStringList arguments;
    if (vendorId != 0xFFFF || productId != 0xFFFF)
        arguments << "-d"
                  << "," + idText(vendorId).toLower() + ":" + idText(productId).toLower();
    if ((!selectedPort.isEmpty() || !selectedSerial.isEmpty()) && !foundPath.isEmpty())
        arguments << "-p" << foundPath;
    return arguments;
}

QString DeviceFinder::deviceName() const
{
    QString name = !foundIds.isEmpty()              ? foundIds
        : vendorId == 0xFFFF && productId == 0xFFFF ? QString("with any id")
                                                    : idText(vendorId) + ":" + idText(productId);
    if (!foundPath.isEmpty() && (!selectedPort.isEmpty() || !selectedSerial.isEmpty()))
        return name + " at USB port " + foundPath;
    if (!selectedPort.isEmpty())
        return name + " at USB port " + selectedPort;
    if (!selectedSerial.isEmpty())
        return name + " with serial \"" + selectedSerial + "\"";
    return name;
}
