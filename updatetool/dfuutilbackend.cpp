// dfu-util runs once per step: listing, one DfuSe download per alternate setting (one plain
// download for a plain file), and the leave request on its own, so nothing asks the device to
// leave before all of it is written.
#include "updatetool/dfuutilbackend.h"

#include "updatetool/childprocess.h"
#include "updatetool/dfusefile.h"
#include "updatetool/dfuseformat.h"
#include "updatetool/downloadplan.h"
#include "updatetool/flashverifier.h"
#include "updatetool/phasereporter.h"
#include "updatetool/scratchfolder.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

const char noDeviceText[] = "No DFU capable USB device available";
const char cannotOpenText[] = "Cannot open DFU device";
const char severalText[] = "More than one DFU capable USB device found";
const char leaveText[] = "Submitting leave request...";
const char resetText[] = "Resetting USB to switch back to Run-Time mode";
// dfu-util 0.11 returns libusb's "not found" (-5) when the device left the bus on the reset it
// sent, and EX_IOERR when it reset a device that was waiting for that after a download.
constexpr int ResetGoneExitCode = 251;
constexpr int IoErrorExitCode = 74;
// The DFU status errADDRESS: an address past the device's memory.
constexpr int ErrorAddressStatus = 8;
const char connectAdvice[] = "Connect the device, put it into DFU mode and try again.";

QString idText(quint16 id)
{
    return id == 0xFFFF ? QString("*") : DfuSeFormat::hex32(id).right(4);
}

// The file's ids, or any for 0xFFFF, against the ids dfu-util prints in lower-case hex.
bool idMatches(quint16 wanted, const QString &found)
{
    return wanted == 0xFFFF || found.toUShort(nullptr, 16) == wanted;
}

bool isBanner(const QByteArray &line)
{
    return line.startsWith("dfu-util ") || line.startsWith("Copyright ")
        || line.startsWith("This program is Free Software")
        || line.startsWith("Please report bugs");
}

// Each alternate setting in the order the file first names it, with its elements that hold
// bytes; dfu-util downloads those in file order and skips the targets of other settings.
QVector<QPair<int, QVector<qint64>>> elementsByAlternate(const DfuSeFile &file)
{
    QVector<QPair<int, QVector<qint64>>> groups;
    for (const DfuSeTarget &target : file.targets) {
        int g = 0;
        while (g < groups.size() && groups.at(g).first != target.alternateSetting)
            ++g;
        if (g == groups.size())
            groups.append(qMakePair(int(target.alternateSetting), QVector<qint64>()));
        for (const DfuSeElement &element : target.elements) {
            if (!element.data.isEmpty())
                groups[g].second << element.data.size();
        }
    }
    return groups;
}

// A number of seconds from the environment; unset or empty means the default.
bool secondsFrom(const QProcessEnvironment &env, const char *name, int minimum, int *seconds,
                 ToolResult *result)
{
    const QString text = env.value(name);
    if (text.isEmpty())
        return true;
    bool ok = false;
    *seconds = text.toInt(&ok);
    if (ok && *seconds >= minimum && *seconds <= 3600)
        return true;
    *result = ToolResult::failure(ExitUsage,
                                  QString("%1 is \"%2\". Give a number of seconds from "
                                          "%3 to 3600.")
                                      .arg(name, text)
                                      .arg(minimum));
    return false;
}

void keepTail(QByteArray *kept, const QByteArray &more, int size)
{
    kept->append(more);
    if (kept->size() > size)
        kept->remove(0, kept->size() - size);
}

} // namespace

std::unique_ptr<DfuUtilBackend> DfuUtilBackend::fromEnvironment(const QProcessEnvironment &env,
                                                                const QString &toolDirectory,
                                                                ToolResult *result)
{
    int waitSeconds = DefaultWaitSeconds;
    int stallSeconds = DefaultStallSeconds;
    if (!secondsFrom(env, "DFU_WAIT_SECONDS", 0, &waitSeconds, result)
        || !secondsFrom(env, "DFU_STALL_SECONDS", 1, &stallSeconds, result))
        return nullptr;

    QString program = QStandardPaths::findExecutable("dfu-util", {toolDirectory});
    if (program.isEmpty())
        program = QStandardPaths::findExecutable("dfu-util");
    if (program.isEmpty()) {
        *result = ToolResult::failure(
            ExitNoBackend,
            "dfu-util is not installed, and this tool reaches DFU devices through it. Install "
            "the Debian package dfu-util (sudo apt install dfu-util).");
        return nullptr;
    }
    *result = ToolResult::success();
    return std::make_unique<DfuUtilBackend>(program, waitSeconds, stallSeconds);
}

DfuUtilBackend::DfuUtilBackend(const QString &program, int waitSeconds, int stallSeconds)
    : program(program)
    , waitSeconds(waitSeconds)
    , stallSeconds(stallSeconds)
{ }

ToolResult DfuUtilBackend::open(const DfuSeFile &file, PhaseReporter &progress)
{
    vendorId = file.vendorId;
    productId = file.productId;
    kind = file.kind;
    foundIds.clear();
    leftAfterDownload = false;
    layouts.clear();

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
                return cannotOpen("you may not use it");
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
                + connectAdvice;
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
    // dfu-util would take a DfuSe file as one on any device, and a plain one as raw bytes.
    if (listing.layouts != (kind == DfuSeFile::DfuSe))
        return ToolResult::failure(
            ExitTransferFailed,
            QString(kind == DfuSeFile::DfuSe
                        ? "The firmware file is a DfuSe file, but the DFU device %1 is a plain DFU "
                          "device (its alternate settings name no memory layouts). Nothing was "
                          "written: use a plain DFU file made for this device."
                        : "The firmware file is a plain DFU file, but the DFU device %1 is a DfuSe "
                          "device (its alternate settings name memory layouts). Nothing was "
                          "written: use a DfuSe file made for this device.")
                .arg(listing.ids));
    for (int t = 0; t < file.targets.size(); ++t) {
        const int alternate = file.targets.at(t).alternateSetting;
        if (!listing.alternates.contains(alternate))
            return ToolResult::failure(
                ExitTransferFailed,
                QString("The DFU device %1 has no alternate setting %2, which target %3 of the "
                        "firmware file is for. Nothing was written: check that this file is meant "
                        "for this device.")
                    .arg(deviceName())
                    .arg(alternate)
                    .arg(t + 1));
    }
    readLayouts(listing, file, progress);
    return ToolResult::success();
}

// Asks the run-time device the file is for, or the only one there is, to switch to DFU mode.
// False when there was none to ask; *result holds a failure when there were several.
bool DfuUtilBackend::detach(const Listing &listing, PhaseReporter &progress,
                            ToolResult *result) const
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
    const Run run = this->run(
        arguments, [&](const DfuUtilOutput::Record &record) { passOn(record, progress); });
    if (run.started && !run.crashed && run.exitCode == 0)
        progress.context(QString("Asked the run-time device %1 (USB path %2) to switch to DFU "
                                 "mode")
                             .arg(ids, path));
    else
        progress.context(QString("The run-time device %1 (USB path %2) could not be asked to "
                                 "switch to DFU mode: %3")
                             .arg(ids, path, messageOf(run)));
    return true;
}

// dfu-util takes the DfuSe file whole and downloads the targets of the alternate setting
// given with -a; --o has no counterpart there, so every block is written.
ToolResult DfuUtilBackend::download(const DfuSeFile &file, const QString &path, bool,
                                    PhaseReporter &progress)
{
    if (kind == DfuSeFile::Plain)
        return downloadPlain(path, file.dataSize(), progress);
    progress.begin(PhaseReporter::Erase);
    qint64 before = 0;
    for (const auto &group : elementsByAlternate(file)) {
        const QVector<qint64> &sizes = group.second;
        int current = 0;
        qint64 inFile = before;
        bool touched = before > 0;
        const auto onRecord = [&](const DfuUtilOutput::Record &record) {
            passOn(record, progress);
            if (record.kind != DfuUtilOutput::Record::Text && current < sizes.size()
                && record.stage != DfuUtilOutput::Upload) {
                touched = true;
                const auto phase = record.stage == DfuUtilOutput::Erase ? PhaseReporter::Erase
                                                                        : PhaseReporter::Download;
                if (record.kind == DfuUtilOutput::Record::Progress) {
                    progress.reach(phase, inFile + qMin(record.bytes, sizes.at(current)));
                } else if (record.stage == DfuUtilOutput::Download) {
                    inFile += sizes.at(current);
                    ++current;
                }
            }
        };

        const QStringList arguments
            = deviceArguments() + QStringList {"-a", QString::number(group.first), "-D", path};
        progress.context("Running dfu-util " + arguments.join(' '));
        const Run result = run(arguments, onRecord);
        const QString doing = QString("downloading alternate setting %1").arg(group.first);
        if (!result.started || result.crashed || result.exitCode != 0)
            return failure(result, doing, touched);
        if (current < sizes.size())
            return ToolResult::failure(
                ExitTransferFailed,
                QString("dfu-util ended without error after downloading %1 of the %2 elements of "
                        "alternate setting %3. The firmware is incomplete: retry the update.")
                    .arg(current)
                    .arg(sizes.size())
                    .arg(group.first));
        before = inFile;
    }
    progress.finish(PhaseReporter::Download);
    return ToolResult::success();
}

// A plain device erases as it writes: one download phase over the image, from its start.
ToolResult DfuUtilBackend::downloadPlain(const QString &path, qint64 imageSize,
                                         PhaseReporter &progress)
{
    progress.begin(PhaseReporter::Download);
    bool touched = false;
    bool waitsForReset = false;
    bool done = false;
    const QStringList arguments = deviceArguments() + QStringList {"-a", "0", "-D", path};
    progress.context("Running dfu-util " + arguments.join(' '));
    const Run result = run(arguments, [&](const DfuUtilOutput::Record &record) {
        passOn(record, progress);
        if (record.kind == DfuUtilOutput::Record::Progress
            && record.stage == DfuUtilOutput::Download) {
            touched = true;
            progress.reach(PhaseReporter::Download, record.bytes);
        } else if (record.kind == DfuUtilOutput::Record::Text) {
            waitsForReset = waitsForReset || record.text.contains("dfuMANIFEST-WAIT-RESET");
            done = done || (waitsForReset && record.text == "Done!");
        }
    });
    leftAfterDownload = result.started && !result.crashed && done
        && (result.exitCode == 0 || result.exitCode == IoErrorExitCode);
    if (leftAfterDownload)
        progress.context("The device left DFU mode by itself after the download: it is not "
                         "manifestation tolerant");
    else if (result.started && !result.crashed && result.exitCode != 0
             && result.status == ErrorAddressStatus)
        return tooLarge(imageSize, progress);
    else if (!result.started || result.crashed || result.exitCode != 0)
        return failure(result, "downloading the firmware", touched);
    progress.finish(PhaseReporter::Download);
    return ToolResult::success();
}

void DfuUtilBackend::readLayouts(const Listing &listing, const DfuSeFile &file,
                                 PhaseReporter &progress)
{
    QStringList notes;
    layouts = DownloadPlan::layoutsOf(listing.layoutTexts, &notes);
    for (const QString &note : notes)
        progress.context(note);
    leaveAddress = DownloadPlan::leaveAddress(file, layouts);
}

// A plain device takes an image up to the end of its memory, which an upload reads whole.
ToolResult DfuUtilBackend::tooLarge(qint64 imageSize, PhaseReporter &progress) const
{
    const ScratchFolder folder;
    const QString path = folder.filePath("memory.bin");
    const FlashVerifier::ReadBack memory
        = upload(deviceArguments() + QStringList {"-a", "0", "-U", path}, DfuSeFormat::hex32(0),
                 path, progress);
    const QString size = memory.ok ? QString(" (%1 bytes)").arg(memory.bytes.size()) : QString();
    return ToolResult::failure(ExitTransferFailed,
                               QString("The image (%1 bytes) is bigger than the memory of the DFU "
                                       "device %2%3: the device refused the bytes past its end. "
                                       "The firmware is incomplete: use a firmware file made for "
                                       "this device.")
                                   .arg(imageSize)
                                   .arg(deviceName(), size));
}

// Uploads each element's range in DfuSe mode, or a plain device's memory from its start.
ToolResult DfuUtilBackend::verify(const DfuSeFile &file, PhaseReporter &progress)
{
    const ScratchFolder uploads;
    return FlashVerifier::verify(
        file, layouts, progress, [&](quint8 alternateSetting, const DfuSeElement &element) {
            FlashVerifier::ReadBack back;
            if (leftAfterDownload) {
                back.problem = "the device left DFU mode after the download and cannot be read "
                               "back";
                return back;
            }
            const QString where = DfuSeFormat::hex32(element.address);
            if (!uploads.isValid()) {
                back.failed = true;
                back.problem
                    = "there is no temporary folder to read into: " + uploads.errorString();
                return back;
            }
            const QString path
                = uploads.filePath(QString("upload-%1-%2.bin").arg(alternateSetting).arg(where));
            if (kind == DfuSeFile::Plain) {
                // A plain upload runs to the end of the device's memory: -Z only sizes the
                // progress bar that tells when the image is in.
                const QString size = QString::number(element.data.size());
                back = upload(deviceArguments() + QStringList {"-a", "0", "-Z", size, "-U", path},
                              where, path, progress, element.data.size());
                back.bytes.truncate(element.data.size());
                return back;
            }
            return upload(deviceArguments()
                              + QStringList {"-a", QString::number(alternateSetting), "-s",
                                             where + ":" + QString::number(element.data.size()),
                                             "-U", path},
                          where, path, progress);
        });
}

// Only a device that refuses the upload, as a read-protected one does, leaves what it holds
// unchecked; any other failure to read back means the flash was not verified.
FlashVerifier::ReadBack DfuUtilBackend::upload(const QStringList &arguments, const QString &where,
                                               const QString &path, PhaseReporter &progress,
                                               qint64 size) const
{
    const QString what
        = kind == DfuSeFile::Plain ? QString("the device's memory") : "the element at " + where;
    FlashVerifier::ReadBack back;
    progress.context("Running dfu-util " + arguments.join(' '));
    // dfu-util writes each block to the file before it moves its bar.
    bool enough = false;
    const Run result = run(
        arguments,
        [&](const DfuUtilOutput::Record &record) {
            passOn(record, progress);
            enough = enough
                || (size > 0 && record.kind == DfuUtilOutput::Record::Progress
                    && record.stage == DfuUtilOutput::Upload && record.bytes >= size);
        },
        SilenceLimit, &enough);
    const QString reading = "reading back " + what;
    if (result.started && !result.crashed && result.exitCode != 0 && refusedUpload(result)) {
        back.problem = "dfu-util could not read back " + what + ": " + messageOf(result);
        return back;
    }
    back.failed = true;
    if (!result.started)
        back.problem = "dfu-util cannot be started: " + result.startError;
    else if (result.stopped)
        back.problem = "dfu-util stopped responding while " + reading;
    else if (result.crashed)
        back.problem = "dfu-util crashed while " + reading;
    else if (result.exitCode != 0 && result.err.contains(noDeviceText))
        back.problem = "the device went away while " + reading;
    else if (result.exitCode != 0)
        back.problem = QString("dfu-util failed while %1 (exit code %2): %3")
                           .arg(reading)
                           .arg(result.exitCode)
                           .arg(messageOf(result));
    if (!back.problem.isEmpty())
        return back;
    QFile upload(path);
    if (upload.open(QIODevice::ReadOnly)) {
        back.bytes = upload.readAll();
        back.ok = true;
        back.failed = false;
    } else {
        back.problem
            = "dfu-util left nothing to compare at " + where + " (" + upload.errorString() + ")";
    }
    return back;
}

// Whatever goes wrong here, what was downloaded before still counts.
ToolResult DfuUtilBackend::leave(PhaseReporter &progress)
{
    if (leftAfterDownload)
        return ToolResult::success();
    bool submitted = false;
    // A plain device in DFU mode refuses the detach; the bus reset after it starts the firmware.
    const bool plain = kind == DfuSeFile::Plain;
    const QStringList arguments = deviceArguments()
        + (plain ? QStringList {"-a", "0", "-e", "-R"}
                 : QStringList {"-a", "0", "-s", DfuSeFormat::hex32(leaveAddress) + ":leave"});
    progress.context("Running dfu-util " + arguments.join(' '));
    const Run result = run(arguments, [&](const DfuUtilOutput::Record &record) {
        if (record.kind == DfuUtilOutput::Record::Text
            && record.text == (plain ? resetText : leaveText)) {
            submitted = true;
            progress.leaving();
        } else {
            passOn(record, progress);
        }
    });
    if (result.started && !result.crashed
        && (result.exitCode == 0 || (plain && submitted && result.exitCode == ResetGoneExitCode))) {
        if (!submitted)
            progress.leaving();
        return ToolResult::success();
    }
    if (submitted)
        return ToolResult::warning("Warning: the device did not answer the request to leave DFU "
                                   "mode ("
                                   + messageOf(result)
                                   + "). Many devices restart before they answer; if yours is "
                                     "still in DFU mode, unplug and replug it.");
    return ToolResult::warning("Warning: the device could not be asked to leave DFU mode ("
                               + messageOf(result)
                               + "). Unplug and replug it to start its firmware.");
}

// Reads both of dfu-util's streams as they come, so that neither a flood of output nor a
// silent dfu-util can hold the tool.
DfuUtilBackend::Run
DfuUtilBackend::run(const QStringList &arguments,
                    const std::function<void(const DfuUtilOutput::Record &)> &onRecord, Watch watch,
                    const bool *enough) const
{
    ChildProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    Run result;
    if (!process.waitForStarted(-1)) {
        result.startError = process.errorString();
        return result;
    }
    result.started = true;

    DfuUtilOutput output;
    const auto deliver = [&](const QVector<DfuUtilOutput::Record> &records) {
        for (const DfuUtilOutput::Record &record : records) {
            noteStatus(record.text, &result);
            onRecord(record);
        }
    };
    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.setTimerType(Qt::PreciseTimer);
    watchdog.setInterval(watch == TimeLimit ? ListingLimitMs : stallSeconds * 1000);
    const auto heard = [&] {
        if (watch == SilenceLimit)
            watchdog.start();
    };
    bool ended = false;
    QTimer ending;
    ending.setSingleShot(true);
    ending.setInterval(EndingGraceMs);
    QObject::connect(&ending, &QTimer::timeout, [&] {
        ended = true;
        process.kill();
    });
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] {
        deliver(output.feed(process.readAllStandardOutput()));
        heard();
        if (enough && *enough && !ending.isActive() && !ended)
            ending.start();
    });
    QObject::connect(&process, &QProcess::readyReadStandardError, [&] {
        keepTail(&result.err, process.readAllStandardError(), MaximumErrorSize);
        heard();
    });
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        result.stopped = true;
        process.kill();
    });
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    watchdog.start();
    if (process.state() != QProcess::NotRunning)
        loop.exec();

    deliver(output.feed(process.readAllStandardOutput()));
    deliver(output.finish());
    keepTail(&result.err, process.readAllStandardError(), MaximumErrorSize);
    for (const QByteArray &line : result.err.split('\n'))
        noteStatus(line, &result);
    result.crashed = !ended && process.exitStatus() == QProcess::CrashExit;
    result.exitCode = ended ? 0 : process.exitCode();
    return result;
}

ToolResult DfuUtilBackend::list(Listing *listing) const
{
    static const QRegularExpression found("^Found DFU: \\[([0-9a-fA-F]{4}):([0-9a-fA-F]{4})\\] "
                                          ".*devnum=(\\d+),.* path=\"([^\"]*)\", alt=(\\d+),"
                                          "( name=\"(@[^\"]*))?");
    static const QRegularExpression runtime(
        "^Found Runtime: \\[([0-9a-fA-F]{4}:[0-9a-fA-F]{4})\\] .* path=\"([^\"]*)\",");
    const Run result = run(
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
                listing->alternates << match.captured(5).toInt();
                // DfuSe names each alternate setting by its memory layout, "@Name /0x...".
                listing->layouts = listing->layouts || !match.captured(6).isEmpty();
                if (!match.captured(6).isEmpty())
                    listing->layoutTexts.insert(match.captured(5).toInt(), match.captured(7));
            }
        },
        TimeLimit);
    if (!result.started)
        return failure(result, "listing the USB devices", false);
    if (result.stopped)
        listing->failure = QString("dfu-util -l was still running after %1 s and was ended")
                               .arg(ListingLimitMs / 1000);
    else if (result.crashed || result.exitCode != 0)
        listing->failure = messageOf(result);

    static const QRegularExpression denied(QString(cannotOpenText)
                                           + " ([0-9a-fA-F]{4}):([0-9a-fA-F]{4})");
    QRegularExpressionMatchIterator it = denied.globalMatch(QString::fromUtf8(result.err));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        if (idMatches(vendorId, match.captured(1)) && idMatches(productId, match.captured(2)))
            listing->accessDenied = true;
    }
    return ToolResult::success();
}

// A leading comma makes dfu-util match these ids on devices in DFU mode; without it they
// would only name a run-time device and any device in DFU mode would do.
QStringList DfuUtilBackend::deviceArguments() const
{
    if (vendorId == 0xFFFF && productId == 0xFFFF)
        return {};
    return {"-d", "," + idText(vendorId).toLower() + ":" + idText(productId).toLower()};
}

QString DfuUtilBackend::deviceName() const
{
    if (!foundIds.isEmpty())
        return foundIds;
    if (vendorId == 0xFFFF && productId == 0xFFFF)
        return "with any id";
    return idText(vendorId) + ":" + idText(productId);
}

ToolResult DfuUtilBackend::failure(const Run &run, const QString &doing, bool firmwareTouched) const
{
    if (!run.started)
        return ToolResult::failure(ExitNoBackend,
                                   "dfu-util (" + program + ") cannot be started: " + run.startError
                                       + ". Reinstall the Debian package dfu-util.");
    const QString said = messageOf(run);
    const QString incomplete
        = firmwareTouched ? " The firmware is incomplete: retry the update." : QString();
    if (run.stopped)
        return ToolResult::failure(ExitTransferFailed,
                                   QString("dfu-util stopped responding while %1: it printed "
                                           "nothing for %2 s and was ended.%3")
                                       .arg(doing)
                                       .arg(stallSeconds)
                                       .arg(incomplete));
    if (run.crashed)
        return ToolResult::failure(ExitTransferFailed,
                                   "dfu-util crashed while " + doing + "." + incomplete);
    if (run.err.contains(cannotOpenText))
        return cannotOpen(said);
    if (run.err.contains(severalText))
        return ToolResult::failure(ExitSeveralDevices,
                                   "More than one DFU device is connected. Unplug all but the one "
                                   "to update and retry.");
    if (run.err.contains(noDeviceText))
        return ToolResult::failure(
            ExitNoDevice,
            firmwareTouched ? "The DFU device disappeared while " + doing
                    + ". Its firmware is incomplete: reconnect it in DFU mode and retry the update."
                            : "No DFU device " + deviceName() + " was found. " + connectAdvice);
    return ToolResult::failure(ExitTransferFailed,
                               QString("dfu-util failed while %1 (exit code %2): %3.%4")
                                   .arg(doing)
                                   .arg(run.exitCode)
                                   .arg(said, incomplete));
}

ToolResult DfuUtilBackend::cannotOpen(const QString &why) const
{
    return ToolResult::failure(ExitCannotOpen,
                               "The DFU device " + deviceName() + " cannot be opened (" + why
                                   + "). Install the udev rule 70-brindleflash-dfu.rules as the "
                                     "README shows and replug the device, or add yourself to the "
                                     "group that may use it (often plugdev).");
}

// dfu-util prints the device's error status, "state(10) = dfuERROR, status(3) = Device is
// unable to write memory", on standard output for most requests.
void DfuUtilBackend::noteStatus(const QByteArray &line, Run *run)
{
    static const QRegularExpression status("status\\((\\d+)\\) = ([^,]*[^,.\\s])");
    // A status left from an earlier run is cleared before this one goes on.
    if (line.contains("Clearing status"))
        run->status = 0;
    const QRegularExpressionMatch match = status.match(QString::fromUtf8(line));
    if (match.hasMatch() && match.captured(1) != "0") {
        run->status = match.captured(1).toInt();
        run->statusText = match.captured(2);
    }
}

// dfu-util's own words from standard error, without its notes about skipped targets, and the
// device's status when dfu-util printed one.
QString DfuUtilBackend::messageOf(const Run &run)
{
    QStringList lines;
    for (const QByteArray &line : run.err.split('\n')) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty() && !text.contains("(skipping elements)"))
            lines << text;
    }
    if (!run.started)
        return run.startError;
    if (run.stopped)
        return "dfu-util stopped responding";
    const QString status = run.status == 0
        ? QString()
        : QString("the device reported \"%1\" (DFU status %2)").arg(run.statusText).arg(run.status);
    if (lines.isEmpty() && status.isEmpty())
        return run.crashed ? QString("it crashed")
                           : QString("it gave exit code %1 and no message").arg(run.exitCode);
    QString message = lines.join(' ');
    while (message.endsWith('.'))
        message.chop(1);
    if (status.isEmpty() || message.contains(run.statusText))
        return message;
    return message.isEmpty() ? status : message + "; " + status;
}

// The device's own answer to the upload request: a stall, or an error state or status.
bool DfuUtilBackend::refusedUpload(const Run &run)
{
    return run.err.contains("LIBUSB_ERROR_PIPE") || run.err.contains("not correctly executed")
        || run.err.contains("Wrong state after command");
}

void DfuUtilBackend::passOn(const DfuUtilOutput::Record &record, PhaseReporter &progress)
{
    if (record.kind != DfuUtilOutput::Record::Progress && !isBanner(record.text))
        progress.context("dfu-util: " + QString::fromUtf8(record.text));
}
