// Each device gets a tool, and so a dfu-util, of its own: a device that hangs or fails holds
// up no other, and each is updated, verified and left exactly as an update of one is.
#include "dfusecommand/devicejob.h"

#include "dfusecommand/flashverifier.h"
#include "dfusecommand/os/childprocess.h"
#include "dfusecommand/toolcontract.h"
#include "dfusecommand/toolresult.h"

#include <QJsonArray>

namespace {

const char verifiedLine[] = "Flash verified: every byte matches the file";

bool isPhaseLine(const QByteArray &line)
{
    return line.startsWith(ToolContract::ErasePhasePrefix)
        || line.startsWith(ToolContract::DownloadPhasePrefix);
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

DeviceJob::DeviceJob(const DeviceFinder::Device &device, QObject *parent)
    : QObject(parent)
    , found(device)
{ }

void DeviceJob::start(const QString &program, const QStringList &arguments, QProcessEnvironment env)
{
    env.insert(ToolContract::DeviceVariable, found.path);
    process = new ChildProcess;
    process->setParent(this);
    process->setProcessEnvironment(env);
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, SIGNAL(readyReadStandardOutput()), this, SLOT(readOutput()));
    connect(process, SIGNAL(readyReadStandardError()), this, SLOT(readErrors()));
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(processEnded(int, QProcess::ExitStatus)));
    connect(process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
            SLOT(processFailed(QProcess::ProcessError)));
    started = QDateTime::currentDateTimeUtc();
    process->launch(program, arguments);
}

void DeviceJob::stop()
{
    stopAsked = true;
    if (process && process->state() != QProcess::NotRunning)
        process->terminate();
}

void DeviceJob::readOutput()
{
    pending += process->readAllStandardOutput();
    for (int end; (end = pending.indexOf('\n')) >= 0;) {
        takeLine(pending.left(end));
        pending.remove(0, end + 1);
    }
}

void DeviceJob::takeLine(const QByteArray &line)
{
    if (isPhaseLine(line))
        return;
    const QString text = QString::fromUtf8(line).trimmed();
    log << text;
    if (text.startsWith(FlashVerifier::ReadBackHashPrefix))
        readBackHash = text.mid(int(qstrlen(FlashVerifier::ReadBackHashPrefix))).section(' ', 0, 0);
    verified = verified || text == verifiedLine;
}

void DeviceJob::readErrors()
{
    errors += process->readAllStandardError();
}

void DeviceJob::processEnded(int exitCode, QProcess::ExitStatus status)
{
    readOutput();
    readErrors();
    if (!pending.isEmpty())
        takeLine(pending);
    pending.clear();
    const QString said = QString::fromUtf8(errors).simplified();
    // A device that was done when the signal came keeps its result.
    if (stopAsked && (status == QProcess::CrashExit || exitCode != ExitSuccess))
        end(Stopped, exitCode,
            "Stopped: the update of every device was interrupted."
                + (said.isEmpty() ? QString() : " " + said));
    else if (status == QProcess::CrashExit)
        end(Failed, ExitTransferFailed,
            "The tool updating this device crashed. Its firmware may be incomplete: retry.");
    else if (exitCode != ExitSuccess)
        end(Failed, exitCode, said);
    else
        end(Succeeded, ExitSuccess,
            !said.isEmpty() ? said
                : verified  ? QString(verifiedLine)
                            : QString("Done"));
}

void DeviceJob::processFailed(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        end(Failed, ExitNoBackend,
            "The tool for this device cannot be started: " + process->errorString() + ".");
}

void DeviceJob::end(Result result, int exitCode, const QString &message)
{
    if (outcome != Running)
        return;
    ended = QDateTime::currentDateTimeUtc();
    outcome = result;
    code = exitCode;
    text = message;
    emit finished();
}

QString DeviceJob::resultName() const
{
    switch (outcome) {
    case Running:
        return "running";
    case Succeeded:
        return "succeeded";
    case Failed:
        return "failed";
    case Stopped:
        break;
    }
    return "stopped";
}

QString DeviceJob::summary() const
{
    const QString took = QString::number(seconds(), 'f', 1);
    if (outcome == Succeeded)
        return QString("Device at USB port %1: succeeded in %2 s: %3").arg(found.path, took, text);
    return QString("Device at USB port %1: %2 in %3 s (exit code %4): %5")
        .arg(found.path, resultName(), took)
        .arg(code)
        .arg(text);
}

QJsonObject DeviceJob::report(const QString &firmwareHash, const QString &bcdAfter) const
{
    return {{"port", found.path},
            {"serial", found.serial},
            {"ids", found.ids},
            {"bcdDeviceBefore", textOrNull(found.version)},
            {"bcdDeviceAfter", textOrNull(bcdAfter)},
            {"firmwareSha256", firmwareHash},
            {"readBackSha256", textOrNull(readBackHash)},
            {"result", resultName()},
            {"exitCode", code},
            {"message", text},
            {"start", started.toString(Qt::ISODateWithMs)},
            {"end", ended.toString(Qt::ISODateWithMs)},
            {"log", QJsonArray::fromStringList(log)}};
}
