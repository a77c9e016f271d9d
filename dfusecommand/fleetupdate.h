// --all: every device the file is meant for at once, each by its USB port with a tool of its
// own; a line per device as it ends, a table at the end, and the report as a JSON array.
#ifndef FLEETUPDATE_H
#define FLEETUPDATE_H

#include "dfusecommand/devicefinder.h"

#include <QEventLoop>
#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

class DeviceJob;
class PhaseReporter;

class FleetUpdate : public QObject
{
    Q_OBJECT

public:
    // The exit codes of devices that failed, the first the one the whole update ends with.
    static const int FailurePriority[];

    FleetUpdate(const QString &program, const QStringList &arguments, const QString &reportPath,
                const QString &firmwareHash);

    // Checks before any device is touched that the report can be written.
    static QString reportProblem(const QString &path);

    // Runs one job per device until all have ended; the exit code of the whole. listAfter
    // gives the devices on the bus once they are done, for the versions they report then.
    int run(const QVector<DeviceFinder::Device> &devices, const QProcessEnvironment &env,
            const std::function<QVector<DeviceFinder::Device>()> &listAfter,
            PhaseReporter &progress);
    // The ending signal that interrupted it, 0 for none.
    int caughtSignal() const { return signalNumber; }

private slots:
    void jobFinished();
    void stopAll(int signal);

private:
    void printTable(const QMap<QString, QString> &bcdAfter, PhaseReporter &progress) const;
    bool writeReport(const QMap<QString, QString> &bcdAfter, QString *problem) const;
    int exitCode() const;

    QString program;
    QStringList arguments;
    QString reportPath;
    QString firmwareHash;
    QList<DeviceJob *> jobs;
    PhaseReporter *progress = nullptr;
    QEventLoop loop;
    int running = 0;
    int signalNumber = 0;
};

#endif // FLEETUPDATE_H
