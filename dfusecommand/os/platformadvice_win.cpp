// On Windows dfu-util ships beside the tool, and libusb opens a device only through the
// WinUSB driver, which Windows does not bind to DFU devices by itself.
#include "dfusecommand/os/platformadvice.h"

QString PlatformAdvice::installDfuUtil()
{
    return "Reinstall Brindleflash: its updateTool folder holds dfu-util.exe.";
}

QString PlatformAdvice::reinstallDfuUtil()
{
    return installDfuUtil();
}

// LIBUSB_ERROR_NOT_SUPPORTED: the device has a driver libusb cannot use, or none.
QString PlatformAdvice::deniedReason(const QString &libusbError)
{
    return libusbError == "LIBUSB_ERROR_NOT_SUPPORTED"
        ? "it has no WinUSB driver, libusb says " + libusbError
        : libusbError.isEmpty() ? QString("dfu-util could not open it")
                                : "libusb says " + libusbError;
}

QString PlatformAdvice::grantAccess()
{
    return "dfu-util reaches the device through the WinUSB driver: with the device in DFU mode, "
           "install WinUSB for it (for example with Zadig: choose the device, WinUSB, Install "
           "Driver), then unplug and replug it and try again. If another program has the device "
           "open, close that program first.";
}
