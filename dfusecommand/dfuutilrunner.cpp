// dfu-util's messages go to standard error and its progress to standard output; the device's
// status may be on either.
#include "dfusecommand/dfuutilrunner.h"

#include "dfusecommand/os/childprocess.h"
#include "dfusecommand/os/platformadvice.h"
#include "dfusecommand/phasereporter.h"

#include <QEventLoop>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

namespace {

const char severalText[] = "More than one DFU capable USB device found";
const char libusbFailedText[] = "unable to initialize libusb";
constexpr int LibusbAttempts = 3;
constexpr int LibusbRetryMs = 100;

bool isBanner(const QByteArray &line)
{
    return line.startsWith("dfu-util ") || line.startsWith("Copyright ")
        || line.startsWith("This program is Free Software")
        || line.startsWith("Please report bugs");
}

void keepTail(QByteArray *kept, const QByteArray &more, int size)
{
    kept->append(more);
    if (kept->size() > size)
        kept->remove(0, kept->size() - size);
}

} // namespace

DfuUtilRunner::DfuUtilRunner(const QString &program, int stallSeconds)
    : program(program)
    , stallSeconds(stallSeconds)
{ }

// libusb may fail to start while another device leaves the bus, before dfu-util has reached
// any device: a device going away must not fail the update of another. A listing is simply
// taken again by its caller.
DfuUtilRunner::Run
DfuUtilRunner::run(const QStringList &arguments,
                   const std::function<void(const DfuUtilOutput::Record &)> &onRecord, Watch watch,
                   const bool *enough) const
{
    Run result;
    for (int attempt = 1;; ++attempt) {
        result = runOnce(arguments, onRecord, watch, enough);
        if (watch == TimeLimit || attempt == LibusbAttempts || !result.started || result.crashed
            || result.exitCode == 0 || !result.err.contains(libusbFailedText))
            return result;
        QThread::msleep(LibusbRetryMs);
    }
}

// Reads both of dfu-util's streams as they come, so that neither a flood of output nor a
// silent dfu-util can hold the tool.
DfuUtilRunner::Run
DfuUtilRunner::runOnce(const QStringList &arguments,
                       const std::function<void(const DfuUtilOutput::Record &)> &onRecord,
                       Watch watch, const bool *enough) const
{
    ChildProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.launch(program, arguments);
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

ToolResult DfuUtilRunner::failure(const Run &run, const QString &doing, bool firmwareTouched,
                                  const QString &device) const
{
    if (!run.started)
        return ToolResult::failure(ExitNoBackend,
                                   "dfu-util (" + program + ") cannot be started: " + run.startError
                                       + ". " + PlatformAdvice::reinstallDfuUtil());
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
    if (run.err.contains(CannotOpenText))
        return cannotOpen(device, said);
    if (run.err.contains(severalText))
        return ToolResult::failure(ExitSeveralDevices,
                                   "More than one DFU device is connected. Unplug all but the one "
                                   "to update and retry.");
    if (run.err.contains(NoDeviceText))
        return ToolResult::failure(
            ExitNoDevice,
            firmwareTouched ? "The DFU device disappeared while " + doing
                    + ". Its firmware is incomplete: reconnect it in DFU mode and retry the update."
                            : "No DFU device " + device + " was found. " + ConnectAdvice);
    return ToolResult::failure(ExitTransferFailed,
                               QString("dfu-util failed while %1 (exit code %2): %3.%4")
                                   .arg(doing)
                                   .arg(run.exitCode)
                                   .arg(said, incomplete));
}

ToolResult DfuUtilRunner::cannotOpen(const QString &device, const QString &why)
{
    return ToolResult::failure(ExitCannotOpen,
                               "The DFU device " + device + " cannot be opened (" + why + "). "
                                   + PlatformAdvice::grantAccess());
}

// dfu-util prints the device's error status, "state(10) = dfuERROR, status(3) = Device is
// unable to write memory", on standard output for most requests.
void DfuUtilRunner::noteStatus(const QByteArray &line, Run *run)
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
QString DfuUtilRunner::messageOf(const Run &run)
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

void DfuUtilRunner::passOn(const DfuUtilOutput::Record &record, PhaseReporter &progress)
{
    if (record.kind != DfuUtilOutput::Record::Progress && !isBanner(record.text))
        progress.context("dfu-util: " + QString::fromUtf8(record.text));
}
