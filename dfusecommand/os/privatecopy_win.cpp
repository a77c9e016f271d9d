// On Windows the copy is a file whose DACL lets only this user in, held open without write or
// delete sharing until the tool ends: dfu-util can read it, nobody can change, rename or delete
// it. It lies in the tool's folder, whose path dfu-util can take.
#include "dfusecommand/os/privatecopy.h"

#include "dfusecommand/os/toolfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>

#include <windows.h>

#include <sddl.h>

namespace {

const char namePrefix[] = "brindleflash-firmware-";

QString systemMessage(DWORD code)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = text ? QString::fromWCharArray(text).trimmed() : QString();
    LocalFree(text);
    while (message.endsWith('.'))
        message.chop(1);
    return message.isEmpty() ? QString("error %1").arg(code) : message;
}

// Only the user this tool runs as, and no entries inherited from the folder.
QString userOnlySddl(QString *error)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *error = systemMessage(GetLastError());
        return QString();
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray buffer(int(size), '\0');
    wchar_t *sid = nullptr;
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)
        || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &sid))
        *error = systemMessage(GetLastError());
    CloseHandle(token);
    if (!sid)
        return QString();
    const QString sddl = "D:P(A;;FA;;;" + QString::fromWCharArray(sid) + ")";
    LocalFree(sid);
    return sddl;
}

} // namespace

PrivateCopy::PrivateCopy(const QByteArray &bytes)
{
    const QString folder = ToolFolder::path();
    if (folder.isEmpty()) {
        error = ToolFolder::missing();
        return;
    }
    const QString sddl = userOnlySddl(&error);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (sddl.isEmpty()
        || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl.toStdWString().c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        if (error.isEmpty())
            error = systemMessage(GetLastError());
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const QString path = QDir::toNativeSeparators(
        QString("%1/%2%3-%4.dfu")
            .arg(folder, namePrefix)
            .arg(QCoreApplication::applicationPid())
            .arg(QRandomGenerator::system()->generate(), 8, 16, QChar('0')));
    const HANDLE file
        = CreateFileW(path.toStdWString().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                      &attributes, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE) {
        error = systemMessage(GetLastError());
        return;
    }
    handle = reinterpret_cast<qintptr>(file);
    where = path;
    for (qint64 done = 0; done < bytes.size();) {
        DWORD written = 0;
        const DWORD chunk = DWORD(qMin<qint64>(bytes.size() - done, 1 << 20));
        if (!WriteFile(file, bytes.constData() + done, chunk, &written, nullptr) || written == 0) {
            error = systemMessage(GetLastError());
            discard();
            return;
        }
        done += written;
    }
}

// A copy whose tool was killed is closed by now; one that a running tool holds cannot be
// deleted, so it stays.
void PrivateCopy::removeLeftovers()
{
    const QString folder = ToolFolder::path();
    if (folder.isEmpty())
        return;
    for (const QFileInfo &left :
         QDir(folder).entryInfoList({QString(namePrefix) + "*.dfu"}, QDir::Files | QDir::Hidden))
        DeleteFileW(QDir::toNativeSeparators(left.filePath()).toStdWString().c_str());
}

PrivateCopy::~PrivateCopy()
{
    discard();
}

void PrivateCopy::discard()
{
    if (handle == -1)
        return;
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
    DeleteFileW(reinterpret_cast<const wchar_t *>(where.utf16()));
    where.clear();
}
