// What the tool tells a user to do where the remedy depends on the system: how dfu-util is
// installed, and how a user gets to open a DFU device.
#ifndef PLATFORMADVICE_H
#define PLATFORMADVICE_H

#include <QString>

class PlatformAdvice
{
public:
    static QString installDfuUtil();
    static QString reinstallDfuUtil();
    // Why a listed device cannot be opened, given libusb's error name.
    static QString deniedReason(const QString &libusbError);
    static QString grantAccess();
};

#endif // PLATFORMADVICE_H
