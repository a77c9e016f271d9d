// The tool's folders are found by its name, as QTemporaryDir makes them.
#include "dfusecommand/os/scratchfolder.h"

#include <QCoreApplication>
#include <QDir>

ScratchFolder::ScratchFolder()
{
    if (!folder.isValid())
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
    const QFileInfoList found
        = QDir(QDir::tempPath())
              .entryInfoList({QCoreApplication::applicationName() + "-*"},
                             QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo &info : found) {
        if (isAbandoned(lockPath(info.filePath())))
            QDir(info.filePath()).removeRecursively();
    }
}

QString ScratchFolder::lockPath(const QString &folder)
{
    return folder + "/owner.lock";
}
