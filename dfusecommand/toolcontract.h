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

} // namespace ToolContract

#endif // TOOLCONTRACT_H
