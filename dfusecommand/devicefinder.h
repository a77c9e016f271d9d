// Finds the DFU device a file is meant for in dfu-util's listing, waiting for it and asking
// a device in run-time mode to switch to DFU mode. DFU_DEVICE narrows the search to one USB
// port or serial; without it, several devices with the file's ids are named and refused.
#ifndef DEVICEFINDER_H
#define DEVICEFINDER_H

#include "dfusecommand/dfuutilrunner.h"
#include "dfusecommand/toolresult.h"

#include <QMap>
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

    // One device as dfu-util lists it; the ids in lower case, as it prints them.
    struct Device
    {
        QString path;
        QString devnum;
        QString ids;
        QString serial;
        QString version;
        // The name of its first alternate setting.
        QString name;
        bool runtime = false;

        // The line of the tool contract that names it.
        QString line() const;
        QString upperIds() const { return ids.toUpper(); }
    };

    struct Listing
    {
        // Devices in DFU mode with the file's ids, at DFU_DEVICE's port or serial if it is set.
        QVector<Device> matching;
        // The first matching device's alternate settings.
        QVector<int> alternates;
        QStringList others;
        // Devices with the file's ids that DFU_DEVICE leaves out.
        QVector<Device> elsewhere;
        bool accessDenied = false;
        // libusb's error name for it, when dfu-util gave one.
        QString deniedBecause;
        // The found device's alternate settings name memory layouts: a DfuSe device.
        bool layouts = false;
        QMap<int, QString> layoutTexts;
        // Devices in run-time mode, of any ids, at DFU_DEVICE's port or serial if it is set.
        QVector<Device> runtime;
        // Why dfu-util could not list the devices this time; empty when it could.
        QString failure;
    };

    enum Wanted { OneDevice, EveryDevice };

    DeviceFinder(const DfuUtilRunner &runner, int waitSeconds);

    // DFU_DEVICE's value: a USB port path such as 1-2.3, serial:SERIAL, or empty for any.
    ToolResult select(const QString &selection);
    // Waits up to waitSeconds for exactly one device with these ids (0xFFFF for any); *found is
    // the listing that has it. For every device, it waits for at least one, and *found lists
    // them all, run-time devices with the file's ids among them.
    ToolResult find(quint16 vendor, quint16 product, PhaseReporter &progress, Listing *found,
                    Wanted wanted = OneDevice);
    // The devices on the bus now, in either mode, of any ids.
    QVector<Device> everyDevice() const;
    // The arguments that make dfu-util take the device found.
    QStringList deviceArguments() const;
    QString deviceName() const;

private:
    // The whole bus, or only DFU_DEVICE's port when one is chosen.
    ToolResult list(Listing *listing, bool whole = false) const;
    bool detach(const Listing &listing, PhaseReporter &progress, ToolResult *result);
    bool selected(const Device &device) const;
    ToolResult several(const QVector<Device> &devices, bool runtime, PhaseReporter &progress) const;

    DfuUtilRunner runner;
    int waitSeconds;
    quint16 vendorId = 0xFFFF;
    quint16 productId = 0xFFFF;
    QString selectedPort;
    QString selectedSerial;
    // The ids and USB port of the device found, which messages name from then on.
    QString foundIds;
    QString foundPath;
};

#endif // DEVICEFINDER_H
