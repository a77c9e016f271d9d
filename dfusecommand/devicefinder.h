// Finds the one DFU device a file is meant for in dfu-util's listing, waiting for it and asking
// a device in run-time mode to switch to DFU mode.
#ifndef DEVICEFINDER_H
#define DEVICEFINDER_H

#include "dfusecommand/dfuutilrunner.h"
#include "dfusecommand/toolresult.h"

#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class PhaseReporter;

class DeviceFinder
{
public:
    static constexpr int PollIntervalMs = 250;
    // After dfu-util first says it may not open the device, how long udev gets to grant access.
    static constexpr int AccessGraceMs = 1000;

    struct Listing
    {
        QStringList matching;
        QString ids;
        // The device's serial number, as dfu-util prints it; empty for none.
        QString serial;
        QVector<int> alternates;
        QStringList others;
        bool accessDenied = false;
        // libusb's error name for it, when dfu-util gave one.
        QString deniedBecause;
        // The found device's alternate settings name memory layouts: a DfuSe device.
        bool layouts = false;
        QMap<int, QString> layoutTexts;
        // Devices in run-time mode, each as the ids and USB path dfu-util prints.
        QVector<QPair<QString, QString>> runtime;
        // Why dfu-util could not list the devices this time; empty when it could.
        QString failure;
    };

    DeviceFinder(const DfuUtilRunner &runner, int waitSeconds);

    // Waits up to waitSeconds for exactly one device with these ids (0xFFFF for any); *found is
    // the listing that has it.
    ToolResult find(quint16 vendor, quint16 product, PhaseReporter &progress, Listing *found);
    // The arguments that make dfu-util take the device found.
    QStringList deviceArguments() const;
    QString deviceName() const;

private:
    ToolResult list(Listing *listing) const;
    bool detach(const Listing &listing, PhaseReporter &progress, ToolResult *result) const;

    DfuUtilRunner runner;
    int waitSeconds;
    quint16 vendorId = 0xFFFF;
    quint16 productId = 0xFFFF;
    // The ids of the device found, which messages name from then on.
    QString foundIds;
};

#endif // DEVICEFINDER_H
