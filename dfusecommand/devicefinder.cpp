// dfu-util -l names every DFU interface it sees; the device is the one USB path among those
// with the file's ids.
#include "dfusecommand/devicefinder.h"

#include "dfuse/dfuseformat.h"
#include "dfusecommand/os/platformadvice.h"
#include "dfusecommand/phasereporter.h"

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

} // namespace

DeviceFinder::DeviceFinder(const DfuUtilRunner &runner, int waitSeconds)
    : runner(runner)
    , waitSeconds(waitSeconds)
{ }

ToolResult DeviceFinder::find(quint16 vendor, quint16 product, PhaseReporter &progress,
                              Listing *found)
{
    vendorId = vendor;
    productId = product;
    foundIds.clear();

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
        if (listing.matching.size() > 1)
            return ToolResult::failure(ExitSeveralDevices,
                                       QString("%1 DFU devices %2 are connected. Unplug all but "
                                               "the one to update and retry.")
                                           .arg(listing.matching.size())
                                           .arg(deviceName()));
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

    QStringList alternates;
    for (int alternate : listing.alternates)
        alternates << QString::number(alternate);
    progress.context(QString("Found the DFU device %1 (%2, alternate settings %3)")
                         .arg(listing.ids, listing.matching.first(), alternates.join(", ")));
    foundIds = listing.ids;
    *found = listing;
    return ToolResult::success();
}

// Asks the run-time device the file is for, or the only one there is, to switch to DFU mode.
// False when there was none to ask; *result holds a failure when there were several.
bool DeviceFinder::detach(const Listing &listing, PhaseReporter &progress, ToolResult *result) const
{
    QVector<QPair<QString, QString>> candidates = listing.runtime;
    if (candidates.size() > 1) {
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const QPair<QString, QString> &device) {
                                            return !idMatches(vendorId, device.first.left(4))
                                                || !idMatches(productId, device.first.mid(5));
                                        }),
                         candidates.end());
    }
    if (candidates.size() > 1)
        *result = ToolResult::failure(ExitSeveralDevices,
                                      QString("%1 devices %2 are connected in run-time mode. "
                                              "Unplug all but the one to update and retry.")
                                          .arg(candidates.size())
                                          .arg(deviceName()));
    if (candidates.size() != 1)
        return false;

    const QString ids = candidates.first().first;
    const QString path = candidates.first().second;
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

ToolResult DeviceFinder::list(Listing *listing) const
{
    static const QRegularExpression found("^Found DFU: \\[([0-9a-fA-F]{4}):([0-9a-fA-F]{4})\\] "
                                          ".*devnum=(\\d+),.* path=\"([^\"]*)\", alt=(\\d+),"
                                          "( name=\"(@[^\"]*))?");
    static const QRegularExpression runtime(
        "^Found Runtime: \\[([0-9a-fA-F]{4}:[0-9a-fA-F]{4})\\] .* path=\"([^\"]*)\",");
    const DfuUtilRunner::Run result = runner.run(
        {"-l"},
        [&](const DfuUtilOutput::Record &record) {
            if (record.kind != DfuUtilOutput::Record::Text)
                return;
            const QString text = QString::fromUtf8(record.text);
            const QRegularExpressionMatch inRuntime = runtime.match(text);
            const auto device = qMakePair(inRuntime.captured(1).toUpper(), inRuntime.captured(2));
            if (inRuntime.hasMatch() && !listing->runtime.contains(device))
                listing->runtime << device;
            const QRegularExpressionMatch match = found.match(text);
            if (!match.hasMatch())
                return;
            const QString ids = (match.captured(1) + ":" + match.captured(2)).toUpper();
            if (!idMatches(vendorId, match.captured(1))
                || !idMatches(productId, match.captured(2))) {
                if (!listing->others.contains(ids))
                    listing->others << ids;
                return;
            }
            const QString where = QString("USB path %1, device number %2")
                                      .arg(match.captured(4), match.captured(3));
            if (!listing->matching.contains(where))
                listing->matching << where;
            if (where == listing->matching.first()) {
                listing->ids = ids;
                static const QRegularExpression serial(" serial=\"([^\"]*)\"");
                listing->serial = serial.match(text).captured(1);
                listing->alternates << match.captured(5).toInt();
                // DfuSe names each alternate setting by its memory layout, "@Name /0x...".
                listing->layouts = listing->layouts || !match.captured(6).isEmpty();
                if (!match.captured(6).isEmpty())
                    listing->layoutTexts.insert(match.captured(5).toInt(), match.captured(7));
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

// A leading comma makes dfu-util match these ids on devices in DFU mode; without it they
// would only name a run-time device and any device in DFU mode would do.
QStringList DeviceFinder::deviceArguments() const
{
    if (vendorId == 0xFFFF && productId == 0xFFFF)
        return {};
    return {"-d", "," + idText(vendorId).toLower() + ":" + idText(productId).toLower()};
}

QString DeviceFinder::deviceName() const
{
    if (!foundIds.isEmpty())
        return foundIds;
    if (vendorId == 0xFFFF && productId == 0xFFFF)
        return "with any id";
    return idText(vendorId) + ":" + idText(productId);
}
