// What the tool needs from a way of reaching a DFU device.
#ifndef DFUBACKEND_H
#define DFUBACKEND_H

#include "updatetool/toolresult.h"

class DfuSeFile;
class PhaseReporter;
class QString;

class DfuBackend
{
public:
    virtual ~DfuBackend() = default;

    // Finds the one device the file is meant for and opens it.
    virtual ToolResult open(const DfuSeFile &file, PhaseReporter &progress) = 0;
    // Erases what the file's elements cover and writes them. The file has been checked;
    // path is where those very bytes lie, for backends that hand them on.
    virtual ToolResult download(const DfuSeFile &file, const QString &path, bool skipErased,
                                PhaseReporter &progress)
        = 0;
    // Reads every element back and compares it with the file, before the device may leave.
    virtual ToolResult verify(const DfuSeFile &file, PhaseReporter &progress) = 0;
    // Lets the device leave DFU mode and start its new firmware.
    virtual ToolResult leave(PhaseReporter &progress) = 0;
};

#endif // DFUBACKEND_H
