// %TEMP% holds the user's name; its 8.3 form does not, where the volume keeps such names;
// %ProgramData% is ASCII on every Windows.
#include "dfusecommand/os/toolfolder.h"

#include <QDir>

#include <windows.h>

namespace {

bool isPlainAscii(const QString &path)
{
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

QString shortForm(const QString &path)
{
    const std::wstring wide = QDir::toNativeSeparators(path).toStdWString();
    wchar_t buffer[MAX_PATH];
    const DWORD size = GetShortPathNameW(wide.c_str(), buffer, MAX_PATH);
    return size > 0 && size < MAX_PATH ? QDir::fromNativeSeparators(QString::fromWCharArray(buffer))
                                       : QString();
}

} // namespace

QString ToolFolder::path()
{
    const QString temp = QDir::tempPath();
    if (isPlainAscii(temp))
        return temp;
    const QString shortTemp = shortForm(temp);
    if (!shortTemp.isEmpty() && isPlainAscii(shortTemp))
        return shortTemp;
    const QString shared = QDir::fromNativeSeparators(
        qEnvironmentVariable("ProgramData", "C:/ProgramData") + "/Brindleflash");
    if (isPlainAscii(shared) && QDir().mkpath(shared))
        return shared;
    return QString();
}

QString ToolFolder::missing()
{
    return "no folder with a plain ASCII path is at hand for it";
}
