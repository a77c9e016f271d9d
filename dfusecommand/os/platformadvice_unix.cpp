// On Linux dfu-util comes from the distribution, and access to a device from udev.
#include "dfusecommand/os/platformadvice.h"

QString PlatformAdvice::installDfuUtil()
{
    return "Install the Debian package dfu-util (sudo apt install dfu-util).";
}

QString PlatformAdvice::reinstallDfuUtil()
{
    return "Reinstall the Debian package dfu-util.";
}

// libusb says LIBUSB_ERROR_ACCESS here for want of permission alone.
QString PlatformAdvice::deniedReason(const QString &libusbError)
{
    Q_UNUSED(libusbError);
    return "you may not use it";
}

QString PlatformAdvice::grantAccess()
{
    return "Install the udev rule 70-brindleflash-dfu.rules as the README shows and replug the "
           "device, or add yourself to the group that may use it (often plugdev).";
}
