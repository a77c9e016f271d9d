// The tool's folders are found by its name, as QTemporaryDir names them, in the folder whose
// path dfu-util can take.
#include "dfusecommand/os/scratchfolder.h"

#include "dfusecommand/os/toolfolder.h"

#include <QCoreApplication>
#include <QDir>

namespace {

QString namePattern()
{
    return QCoreApplication::applicationName() + "-*";
}

} // namespace

ScratchFolder::ScratchFolder()
    : folder(ToolFolder::path().isEmpty()
                 ? QString()
                 : ToolFolder::path() + "/" + namePattern().replace('*', "XXXXXX"))
{
    if (ToolFolder::path().isEmpty())
        error = ToolFolder::missing();
    else if (!folder.isValid())
        error = folder.errorString();
    else if (claim())
        guard();
}

ScratchFolder::~ScratchFolder()
{
    release();
    folder.remove();
    unguard();
}

void ScratchFolder::removeLeftovers()
{
    const QString where = ToolFolder::path();
    if (where.isEmpty())
        return;
    const QFileInfoList found = QDir(where).entryInfoList(
        {namePattern()}, QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo &info : found) {
        if (isAbandoned(lockPath(info.filePath())))
            QDir(info.filePath()).removeRecursively();
    }
}

QString ScratchFolder::lockPath(const QString &folder)
{
    return folder + "/owner.lock";
}
