// One device of an update of every device: the tool run again for it alone, by its USB port,
// with what that run printed and how it ended.
#ifndef DEVICEJOB_H
#define DEVICEJOB_H

#include "dfusecommand/devicefinder.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QStringList>

class ChildProcess;

class DeviceJob : public QObject
{
    Q_OBJECT

public:
    enum Result { Running, Succeeded, Failed, Stopped };

    DeviceJob(const DeviceFinder::Device &device, QObject *parent = nullptr);

    void start(const QString &program, const QStringList &arguments, QProcessEnvironment env);
    // Asks the device's tool to end, which leaves no copy behind.
    void stop();

    const DeviceFinder::Device &device() const { return found; }
    Result result() const { return outcome; }
    int exitCode() const { return code; }
    QString message() const { return text; }
    QString resultName() const;
    double seconds() const { return started.msecsTo(ended) / 1000.0; }
    // The line printed once it is done.
    QString summary() const;
    // bcdAfter is empty when the device was not seen after the update.
    QJsonObject report(const QString &firmwareHash, const QString &bcdAfter) const;

signals:
    void finished();

private slots:
    void readOutput();
    void readErrors();
    void processEnded(int exitCode, QProcess::ExitStatus status);
    void processFailed(QProcess::ProcessError error);

private:
    void end(Result result, int exitCode, const QString &message);
    void takeLine(const QByteArray &line);

    DeviceFinder::Device found;
    ChildProcess *process = nullptr;
    QByteArray pending;
    QByteArray errors;
    QStringList log;
    QString readBackHash;
    bool verified = false;
    bool stopAsked = false;
    QDateTime started;
    QDateTime ended;
    Result outcome = Running;
    int code = -1;
    QString text;
};

#endif // DEVICEJOB_H
