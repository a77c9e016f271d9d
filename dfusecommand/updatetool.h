// The DFU command: reads its options, checks the firmware file, then drives dfu-util.
#ifndef UPDATETOOL_H
#define UPDATETOOL_H

#include "dfusecommand/toolresult.h"

#include <QStringList>

class DfuSeReader;
class DfuUtilBackend;
class NativeNames;
class PhaseReporter;
class QProcessEnvironment;

class UpdateTool
{
public:
    int run(const QStringList &arguments, const QProcessEnvironment &env, const NativeNames &names);

private:
    static int updateEvery(const QStringList &flags, const QString &reportPath,
                           const DfuSeReader &reader, const QString &firmwareHash,
                           DfuUtilBackend &backend, PhaseReporter &progress,
                           const QProcessEnvironment &env);
    static int usage(const QString &problem);
    static ToolResult warnOf(const ToolResult &result);
    static int exitWith(const ToolResult &result);
};

#endif // UPDATETOOL_H
