// Unix hands dfu-util its arguments as the bytes given.
#include "dfusecommand/os/toolfolder.h"

#include <QDir>

QString ToolFolder::path()
{
    return QDir::tempPath();
}

QString ToolFolder::missing()
{
    return QString();
}
