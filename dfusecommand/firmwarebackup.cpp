// The backup before the first erase.
#include "dfusecommand/firmwarebackup.h"

#include "dfuse/dfuseformat.h"
#include "dfusecommand/phasereporter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>

namespace {

const char variable[] = "DFU_BACKUP";

QString withoutStop(QString text)
{
    while (text.endsWith('.'))
        text.chop(1);
    return text;
}

} // namespace

bool FirmwareBackup::fromEnvironment(const QProcessEnvironment &env, FirmwareBackup *backup,
                                     ToolResult *result)
{
    const QString text = env.value(variable);
    if (text.isEmpty() || text == "off" || text == "required") {
        backup->mode = text.isEmpty() ? Optional : text == "off" ? Off : Required;
        return true;
    }
    *result = ToolResult::failure(
        ExitUsage,
        QString("%1 is \"%2\". Give off or required, or leave it unset.").arg(variable, text));
    return false;
}

// What the program's AppLocalDataLocation is: the tool keeps its own name, which its
// temporary folders carry, and still saves where the program's users look.
QString FirmwareBackup::folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + "/Brindleflash/backups";
}

ToolResult FirmwareBackup::save(BackupPlan plan, const QString &ids, const QString &serial,
                                const Reader &read, PhaseReporter &progress) const
{
    if (mode == Off) {
        progress.context("DFU_BACKUP=off: what the device holds is not saved before the update");
        return ToolResult::success();
    }
    progress.context(
        QString("Saving what the device holds before the first erase: %1 bytes").arg(plan.size()));
    QStringList missing;
    for (const QString &range : plan.unreadable)
        missing << range + ": the device's layout says it cannot be read";
    for (BackupPlan::Part &part : plan.parts) {
        const FlashVerifier::ReadBack back = read(part);
        if (back.failed)
            return ToolResult::failure(ExitTransferFailed,
                                       "The device could not be read before the update: "
                                           + back.problem
                                           + ". Nothing was written: retry the update.");
        if (back.ok && (back.bytes.size() >= part.size || plan.kind == DfuSeFile::Plain))
            part.bytes = back.bytes.left(int(part.size));
        else
            missing << (back.ok ? QString("the device returned %1 of the %2 bytes at %3")
                                      .arg(back.bytes.size())
                                      .arg(part.size)
                                      .arg(DfuSeFormat::hex32(part.address))
                                : back.problem);
    }
    missing.removeDuplicates();
    for (const QString &problem : missing)
        progress.context("Not saved: " + problem);

    const QByteArray bytes = plan.fileBytes(quint16(ids.left(4).toUInt(nullptr, 16)),
                                            quint16(ids.mid(5, 4).toUInt(nullptr, 16)));
    const bool nothing
        = std::none_of(plan.parts.cbegin(), plan.parts.cend(),
                       [](const BackupPlan::Part &part) { return !part.bytes.isEmpty(); });
    if (nothing)
        return without("No backup could be made (" + missing.join("; ") + ")", progress);
    if (!missing.isEmpty()) {
        if (mode == Required)
            return without("Only part of what the device holds could be saved ("
                               + missing.join("; ") + ")",
                           progress);
        progress.context("Only part of what the device held could be saved: the backup lacks "
                         "what the lines above name");
    }

    QString name = ids.toLower().replace(':', '-') + "-";
    if (!serial.isEmpty())
        name += QString(serial).replace(QRegularExpression("[^A-Za-z0-9_.]"), "_") + "-";
    QString path;
    QString error;
    if (!write(bytes, name, &path, &error))
        return without("No backup could be written (" + error + ")", progress);
    progress.context("What the device held is saved in " + QDir::toNativeSeparators(path)
                     + ": choose that file and start the update to go back.");
    progress.context(HashPrefix
                     + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    removeOldest(folder(), name, path);
    return ToolResult::success();
}

// Without the backup the update goes on, unless one is required.
ToolResult FirmwareBackup::without(const QString &why, PhaseReporter &progress) const
{
    if (mode == Required)
        return ToolResult::failure(ExitNoBackup,
                                   why
                                       + ", and DFU_BACKUP=required asks for a complete backup. "
                                         "Nothing was written.");
    progress.context(why + ". The update goes on without it");
    return ToolResult::success();
}

// prefix is the device's part of the name; the time follows, then a count if the same second
// already has a backup.
bool FirmwareBackup::write(const QByteArray &bytes, const QString &prefix, QString *path,
                           QString *error) const
{
    const QString where = folder();
    if (!QDir().mkpath(where)) {
        *error = "the folder " + QDir::toNativeSeparators(where) + " cannot be made";
        return false;
    }
    const QStorageInfo disk(where);
    if (disk.isValid() && disk.bytesAvailable() < bytes.size()) {
        *error = QString("%1 has %2 bytes free, the backup needs %3")
                     .arg(QDir::toNativeSeparators(where))
                     .arg(disk.bytesAvailable())
                     .arg(bytes.size());
        return false;
    }
    const QString stamp = QDateTime::currentDateTimeUtc().toString("yyyyMMdd'T'HHmmss'Z'");
    // The name is taken first: devices that share a serial may be updated at the same time.
    for (int count = 1;; ++count) {
        *path
            = where + "/" + prefix + stamp + (count > 1 ? QString("-%1").arg(count) : "") + ".dfu";
        QFile name(*path);
        if (name.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        if (!name.exists()) {
            *error = QDir::toNativeSeparators(*path) + ": " + withoutStop(name.errorString());
            return false;
        }
    }
    // QSaveFile syncs the file before it takes the name, and leaves nothing when it fails.
    QSaveFile file(*path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QDir::toNativeSeparators(*path) + ": " + withoutStop(file.errorString());
        QFile::remove(*path);
        return false;
    }
    return true;
}

void FirmwareBackup::removeOldest(const QString &folder, const QString &prefix, const QString &kept)
{
    const QRegularExpression name("^" + QRegularExpression::escape(prefix)
                                  + "(\\d{8}T\\d{6}Z)(?:-(\\d+))?\\.dfu$");
    QVector<QPair<QPair<QString, int>, QString>> older;
    QDir dir(folder);
    for (const QString &entry : dir.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = name.match(entry);
        if (match.hasMatch() && dir.filePath(entry) != kept)
            older.append({{match.captured(1), match.captured(2).toInt()}, entry});
    }
    std::sort(older.begin(), older.end());
    for (int i = 0; i < older.size() - (KeptPerDevice - 1); ++i)
        dir.remove(older.at(i).second);
}
