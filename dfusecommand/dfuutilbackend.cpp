// dfu-util runs once per step: listing, one DfuSe download per alternate setting (one plain
// download for a plain file), and the leave request on its own, so nothing asks the device to
// leave before all of it is written.
#include "dfusecommand/dfuutilbackend.h"

#include "dfuse/dfusefile.h"
#include "dfuse/dfuseformat.h"
#include "dfuse/downloadplan.h"
#include "dfusecommand/flashverifier.h"
#include "dfusecommand/os/platformadvice.h"
#include "dfusecommand/os/scratchfolder.h"
#include "dfusecommand/phasereporter.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace {

const char leaveText[] = "Submitting leave request...";
const char resetText[] = "Resetting USB to switch back to Run-Time mode";
// dfu-util 0.11 returns libusb's "not found" (-5) when the device left the bus on the reset it
// sent, and EX_IOERR when it reset a device that was waiting for that after a download.
constexpr int ResetGoneExitCode = 251;
constexpr int IoErrorExitCode = 74;
// The DFU status errADDRESS: an address past the device's memory.
constexpr int ErrorAddressStatus = 8;

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

// The device's own answer to the upload request: a stall, or an error state or status.
bool refusedUpload(const DfuUtilRunner::Run &run)
{
    return run.err.contains("LIBUSB_ERROR_PIPE") || run.err.contains("not correctly executed")
        || run.err.contains("Wrong state after command");
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
            "dfu-util is not installed, and this tool reaches DFU devices through it. "
                + PlatformAdvice::installDfuUtil());
        return nullptr;
    }
    auto backend = std::make_unique<DfuUtilBackend>(program, waitSeconds, stallSeconds);
    *result = backend->finder.select(env.value(ToolContract::DeviceVariable));
    if (!result->ok())
        return nullptr;
    return backend;
}

DfuUtilBackend::DfuUtilBackend(const QString &program, int waitSeconds, int stallSeconds)
    : runner(program, stallSeconds)
    , finder(runner, waitSeconds)
{ }

ToolResult DfuUtilBackend::open(const DfuSeFile &file, PhaseReporter &progress)
{
    kind = file.kind;
    leftAfterDownload = false;
    layouts.clear();
    DeviceFinder::Listing listing;
    const ToolResult found = finder.find(file.vendorId, file.productId, progress, &listing);
    if (!found.ok())
        return found;
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
                .arg(finder.deviceName()));
    for (int t = 0; t < file.targets.size(); ++t) {
        const int alternate = file.targets.at(t).alternateSetting;
        if (!listing.alternates.contains(alternate))
            return ToolResult::failure(
                ExitTransferFailed,
                QString("The DFU device %1 has no alternate setting %2, which target %3 of the "
                        "firmware file is for. Nothing was written: check that this file is meant "
                        "for this device.")
                    .arg(finder.deviceName())
                    .arg(alternate)
                    .arg(t + 1));
    }
    readLayouts(listing, file, progress);
    return ToolResult::success();
}

ToolResult DfuUtilBackend::findEvery(const DfuSeFile &file, PhaseReporter &progress,
                                     QVector<DeviceFinder::Device> *devices)
{
    DeviceFinder::Listing listing;
    const ToolResult found
        = finder.find(file.vendorId, file.productId, progress, &listing, DeviceFinder::EveryDevice);
    *devices = listing.matching;
    return found;
}

// dfu-util takes the DfuSe file whole and downloads the targets of the alternate setting
// given with -a; --o has no counterpart there, so every block is written.
ToolResult DfuUtilBackend::download(const DfuSeFile &file, const QString &path,
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
            DfuUtilRunner::passOn(record, progress);
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

        const QStringList arguments = finder.deviceArguments()
            + QStringList {"-a", QString::number(group.first), "-D", path};
        progress.context("Running dfu-util " + arguments.join(' '));
        const DfuUtilRunner::Run result = runner.run(arguments, onRecord);
        const QString doing = QString("downloading alternate setting %1").arg(group.first);
        if (!result.started || result.crashed || result.exitCode != 0)
            return runner.failure(result, doing, touched, finder.deviceName());
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
    const QStringList arguments = finder.deviceArguments() + QStringList {"-a", "0", "-D", path};
    progress.context("Running dfu-util " + arguments.join(' '));
    const DfuUtilRunner::Run result
        = runner.run(arguments, [&](const DfuUtilOutput::Record &record) {
              DfuUtilRunner::passOn(record, progress);
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
        return runner.failure(result, "downloading the firmware", touched, finder.deviceName());
    progress.finish(PhaseReporter::Download);
    return ToolResult::success();
}

void DfuUtilBackend::readLayouts(const DeviceFinder::Listing &listing, const DfuSeFile &file,
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
        = upload(finder.deviceArguments() + QStringList {"-a", "0", "-U", path},
                 DfuSeFormat::hex32(0), path, progress);
    const QString size = memory.ok ? QString(" (%1 bytes)").arg(memory.bytes.size()) : QString();
    return ToolResult::failure(ExitTransferFailed,
                               QString("The image (%1 bytes) is bigger than the memory of the DFU "
                                       "device %2%3: the device refused the bytes past its end. "
                                       "The firmware is incomplete: use a firmware file made for "
                                       "this device.")
                                   .arg(imageSize)
                                   .arg(finder.deviceName(), size));
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
                back = upload(finder.deviceArguments()
                                  + QStringList {"-a", "0", "-Z", size, "-U", path},
                              where, path, progress, element.data.size());
                back.bytes.truncate(element.data.size());
                return back;
            }
            return upload(finder.deviceArguments()
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
    const DfuUtilRunner::Run result = runner.run(
        arguments,
        [&](const DfuUtilOutput::Record &record) {
            DfuUtilRunner::passOn(record, progress);
            enough = enough
                || (size > 0 && record.kind == DfuUtilOutput::Record::Progress
                    && record.stage == DfuUtilOutput::Upload && record.bytes >= size);
        },
        DfuUtilRunner::SilenceLimit, &enough);
    const QString reading = "reading back " + what;
    if (result.started && !result.crashed && result.exitCode != 0 && refusedUpload(result)) {
        back.problem
            = "dfu-util could not read back " + what + ": " + DfuUtilRunner::messageOf(result);
        return back;
    }
    back.failed = true;
    if (!result.started)
        back.problem = "dfu-util cannot be started: " + result.startError;
    else if (result.stopped)
        back.problem = "dfu-util stopped responding while " + reading;
    else if (result.crashed)
        back.problem = "dfu-util crashed while " + reading;
    else if (result.exitCode != 0 && result.err.contains(DfuUtilRunner::NoDeviceText))
        back.problem = "the device went away while " + reading;
    else if (result.exitCode != 0)
        back.problem = QString("dfu-util failed while %1 (exit code %2): %3")
                           .arg(reading)
                           .arg(result.exitCode)
                           .arg(DfuUtilRunner::messageOf(result));
    if (!back.problem.isEmpty())
        return back;
    QFile upload(path);
    if (upload.open(QIODevice::ReadOnly)) {
        back.bytes = upload.readAll();
        back.ok = true;
        back.failed = false;
    } else {
        // Windows ends its messages with a full stop.
        QString why = upload.errorString();
        while (why.endsWith('.'))
            why.chop(1);
        back.problem = "dfu-util left nothing to compare at " + where + " (" + why + ")";
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
    const QStringList arguments = finder.deviceArguments()
        + (plain ? QStringList {"-a", "0", "-e", "-R"}
                 : QStringList {"-a", "0", "-s", DfuSeFormat::hex32(leaveAddress) + ":leave"});
    progress.context("Running dfu-util " + arguments.join(' '));
    const DfuUtilRunner::Run result
        = runner.run(arguments, [&](const DfuUtilOutput::Record &record) {
              if (record.kind == DfuUtilOutput::Record::Text
                  && record.text == (plain ? resetText : leaveText)) {
                  submitted = true;
                  progress.leaving();
              } else {
                  DfuUtilRunner::passOn(record, progress);
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
                                   + DfuUtilRunner::messageOf(result)
                                   + "). Many devices restart before they answer; if yours is "
                                     "still in DFU mode, unplug and replug it.");
    return ToolResult::warning("Warning: the device could not be asked to leave DFU mode ("
                               + DfuUtilRunner::messageOf(result)
                               + "). Unplug and replug it to start its firmware.");
}
