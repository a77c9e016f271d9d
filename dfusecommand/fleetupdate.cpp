// The devices run side by side on the event loop; none waits for another.
#include "dfusecommand/fleetupdate.h"

#include "dfusecommand/devicejob.h"
#include "dfusecommand/os/endingsignals.h"
#include "dfusecommand/phasereporter.h"
#include "dfusecommand/toolresult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>

// Whatever may have left a device half written comes first: a failed transfer or check, then
// a device that went away; then what reached no device at all.
const int FleetUpdate::FailurePriority[]
    = {ExitTransferFailed, ExitNoDevice, ExitCannotOpen, ExitNoBackend,
       ExitSeveralDevices, ExitUsage,    ExitInvalidFile};

namespace {

// USB port paths in the order of their numbers: 1-2 before 1-10.
bool portBefore(const DeviceFinder::Device &a, const DeviceFinder::Device &b)
{
    const auto numbers = [](const QString &path) {
        QVector<int> parts;
        for (const QString &part : path.split(QRegularExpression("[-.]")))
            parts << part.toInt();
        return parts;
    };
    return numbers(a.path) < numbers(b.path);
}

} // namespace

FleetUpdate::FleetUpdate(const QString &program, const QStringList &arguments,
                         const QString &reportPath, const QString &firmwareHash)
    : program(program)
    , arguments(arguments)
    , reportPath(reportPath)
    , firmwareHash(firmwareHash)
{ }

QString FleetUpdate::reportProblem(const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    file.cancelWriting();
    return QString();
}

int FleetUpdate::run(const QVector<DeviceFinder::Device> &devices, const QProcessEnvironment &env,
                     const std::function<QVector<DeviceFinder::Device>()> &listAfter,
                     PhaseReporter &reporter)
{
    progress = &reporter;
    QVector<DeviceFinder::Device> sorted = devices;
    std::stable_sort(sorted.begin(), sorted.end(), portBefore);
    QStringList ports;
    for (const DeviceFinder::Device &device : qAsConst(sorted))
        ports << device.path;
    reporter.context(QString("Updating %1 device%2 at once, at USB port%2 %3")
                         .arg(sorted.size())
                         .arg(sorted.size() == 1 ? "" : "s", ports.join(", ")));

    const EndingSignals endings;
    connect(&endings, SIGNAL(caught(int)), this, SLOT(stopAll(int)));
    for (const DeviceFinder::Device &device : qAsConst(sorted)) {
        auto *job = new DeviceJob(device, this);
        jobs << job;
        connect(job, SIGNAL(finished()), this, SLOT(jobFinished()));
    }
    running = jobs.size();
    for (DeviceJob *job : qAsConst(jobs))
        job->start(program, arguments, env);
    if (running > 0)
        loop.exec();

    // A device that left DFU mode reports its new version once it is back.
    QMap<QString, QString> bcdAfter;
    if (signalNumber == 0) {
        for (const DeviceFinder::Device &device : listAfter())
            bcdAfter.insert(device.path, device.version);
    }
    printTable(bcdAfter, reporter);
    const int code = exitCode();
    QString problem;
    if (!reportPath.isEmpty() && !writeReport(bcdAfter, &problem)) {
        std::fprintf(stderr, "The report \"%s\" cannot be written: %s.\n",
                     reportPath.toLocal8Bit().constData(), problem.toLocal8Bit().constData());
        return code == ExitSuccess ? ExitUsage : code;
    }
    return code;
}

void FleetUpdate::jobFinished()
{
    auto *job = qobject_cast<DeviceJob *>(sender());
    progress->context(job->summary());
    if (--running == 0)
        loop.quit();
}

void FleetUpdate::stopAll(int signal)
{
    if (signalNumber == 0)
        progress->context("Interrupted: ending the update of every device");
    signalNumber = signal;
    for (DeviceJob *job : qAsConst(jobs))
        job->stop();
}

void FleetUpdate::printTable(const QMap<QString, QString> &bcdAfter, PhaseReporter &reporter) const
{
    QVector<QStringList> rows
        = {{"port", "serial", "ids", "bcdDevice", "result", "seconds", "message"}};
    for (const DeviceJob *job : jobs) {
        const DeviceFinder::Device &device = job->device();
        const QString after = bcdAfter.value(device.path, "?");
        rows.append({device.path, device.serial, device.ids,
                     device.version + (after == device.version ? QString() : " -> " + after),
                     job->exitCode() == ExitSuccess
                         ? job->resultName()
                         : QString("%1 (%2)").arg(job->resultName()).arg(job->exitCode()),
                     QString::number(job->seconds(), 'f', 1), job->message()});
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : qAsConst(rows)) {
        for (int c = 0; c < row.size(); ++c)
            widths[c] = qMax(widths[c], row.at(c).size());
    }
    for (const QStringList &row : qAsConst(rows)) {
        QString line;
        for (int c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row.at(c).leftJustified(widths[c] + 2) : row.at(c);
        reporter.context(line.trimmed());
    }
    const int failed = int(std::count_if(jobs.begin(), jobs.end(), [](const DeviceJob *job) {
        return job->result() != DeviceJob::Succeeded;
    }));
    reporter.context(
        QString("%1 of %2 devices updated").arg(jobs.size() - failed).arg(jobs.size()));
}

bool FleetUpdate::writeReport(const QMap<QString, QString> &bcdAfter, QString *problem) const
{
    QJsonArray report;
    for (const DeviceJob *job : jobs)
        report.append(job->report(firmwareHash, bcdAfter.value(job->device().path)));
    QSaveFile file(reportPath);
    const QByteArray bytes = QJsonDocument(report).toJson();
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *problem = file.errorString();
    return false;
}

int FleetUpdate::exitCode() const
{
    QList<int> codes;
    QStringList failed;
    for (const DeviceJob *job : jobs) {
        if (job->result() == DeviceJob::Succeeded)
            continue;
        codes << job->exitCode();
        failed << QString("%1 (exit code %2)").arg(job->device().path).arg(job->exitCode());
    }
    if (codes.isEmpty())
        return ExitSuccess;
    std::fprintf(stderr, "%s\n",
                 QString("%1 of %2 devices failed: %3.")
                     .arg(codes.size())
                     .arg(jobs.size())
                     .arg(failed.join(", "))
                     .toLocal8Bit()
                     .constData());
    std::fflush(stderr);
    for (int code : FailurePriority) {
        if (codes.contains(code))
            return code;
    }
    return codes.first();
}
