// The DFU command: reads its options, checks the firmware file, then drives a backend.
#ifndef UPDATETOOL_H
#define UPDATETOOL_H

#include "updatetool/toolresult.h"

#include <QStringList>

#include <memory>

class DfuBackend;
class QProcessEnvironment;

class UpdateTool
{
public:
    int run(const QStringList &arguments, const QProcessEnvironment &env);

private:
    static std::unique_ptr<DfuBackend> backendFor(const QProcessEnvironment &env,
                                                  ToolResult *result);
    static int usage(const QString &problem);
    static ToolResult warnOf(const ToolResult &result);
    static int exitWith(const ToolResult &result);
};

#endif // UPDATETOOL_H
