// The DFU command: reads its options, checks the firmware file, then drives dfu-util.
#ifndef UPDATETOOL_H
#define UPDATETOOL_H

#include "dfusecommand/toolresult.h"

#include <QStringList>

class DfuSeFile;
class DfuSeReader;
class DfuUtilBackend;
class FirmwareBackup;
class NativeNames;
class PhaseReporter;
class QProcessEnvironment;

class UpdateTool
{
public:
    int run(const QStringList &arguments, const QProcessEnvironment &env, const NativeNames &names);

private:
    static ToolResult backUp(const FirmwareBackup &backup, const DfuSeFile &download,
                             const DfuUtilBackend &backend, PhaseReporter &progress);
    static int updateEvery(const QStringList &flags, const QString &reportPath,
                           const DfuSeReader &reader, const QString &firmwareHash,
                           DfuUtilBackend &backend, PhaseReporter &progress,
                           const QProcessEnvironment &env);
    static int usage(const QString &problem);
    static ToolResult warnOf(const ToolResult &result);
    static int exitWith(const ToolResult &result);
};

#endif // UPDATETOOL_H
