// How a step of the tool ended: the exit code it maps to and what to tell the user, on failure
// or as a warning about a step that still counts as done.
#ifndef TOOLRESULT_H
#define TOOLRESULT_H

#include "dfusecommand/toolcontract.h"

#include <QString>

enum ExitCode {
    ExitSuccess = 0,
    ExitUsage = 2,
    ExitInvalidFile = 3,
    ExitTransferFailed = 4,
    ExitNoBackend = 5,
    ExitCannotOpen = 6,
    ExitSeveralDevices = ToolContract::ExitSeveralDevices,
    // DFU_BACKUP=required, and no complete backup could be made or written.
    ExitNoBackup = 8,
    ExitNoDevice = ToolContract::ExitDeviceNotFound
};

class ToolResult
{
public:
    static ToolResult success() { return ToolResult(ExitSuccess, QString()); }
    static ToolResult failure(ExitCode code, const QString &message)
    {
        return ToolResult(code, message);
    }
    static ToolResult warning(const QString &message) { return ToolResult(ExitSuccess, message); }

    bool ok() const { return code == ExitSuccess; }
    ExitCode exitCode() const { return code; }
    QString message() const { return text; }

private:
    ToolResult(ExitCode code, const QString &text)
        : code(code)
        , text(text)
    { }

    ExitCode code;
    QString text;
};

#endif // TOOLRESULT_H
