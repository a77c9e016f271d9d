// The lock is the lock file held open without sharing; Windows closes it when the tool ends,
// however it ends. No signal ends a Windows program that a handler could see.
#include "dfusecommand/os/scratchfolder.h"

#include <windows.h>

bool ScratchFolder::claim()
{
    const HANDLE file
        = CreateFileW(reinterpret_cast<const wchar_t *>(lockPath(folder.path()).utf16()),
                      GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = QString("the lock file cannot be made (error %1)").arg(GetLastError());
        return false;
    }
    lock = reinterpret_cast<qintptr>(file);
    return true;
}

void ScratchFolder::release()
{
    if (lock != -1)
        CloseHandle(reinterpret_cast<HANDLE>(lock));
    lock = -1;
}

bool ScratchFolder::isAbandoned(const QString &lockPath)
{
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(lockPath.utf16()),
                                    GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

void ScratchFolder::guard() { }

void ScratchFolder::unguard() { }
