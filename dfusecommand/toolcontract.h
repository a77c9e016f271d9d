// What the window and its DFU tool agree on: the output lines that carry progress and the exit
// codes the window explains. Both sides include this, so a change of wording reaches both.
#ifndef TOOLCONTRACT_H
#define TOOLCONTRACT_H

namespace ToolContract {

// A phase line is the prefix, a percentage in decimal, and PhaseLineEnd.
constexpr char ErasePhasePrefix[] = "Upgrading - Erase Phase (";
constexpr char DownloadPhasePrefix[] = "Upgrading - Download Phase (";
constexpr char PhaseLineEnd[] = ")";
constexpr char LeavingDfuModeLine[] = "Leaving DFU Mode...";

// The tool found no DFU device.
constexpr int ExitDeviceNotFound = 10;

// The tool found several matching devices and updated none. Before it ends so, it names each on
// a line of standard output of its own:
//   DFU device 1-2.3: 0483:df11, serial "3262355B3231", bcdDevice 2200, "@Internal Flash  /..."
// that is the prefix, the USB port path, ": ", vendor:product in four lower-case hex digits
// each, the serial, bcdDevice in four hex digits and the first alternate setting's name.
constexpr int ExitSeveralDevices = 7;
constexpr char DeviceLinePrefix[] = "DFU device ";

// The environment variable that makes the tool take one device alone: a port path such as
// 1-2.3, or serial:XXXX.
constexpr char DeviceVariable[] = "DFU_DEVICE";

} // namespace ToolContract

#endif // TOOLCONTRACT_H
