// Saves what a download will erase, before its first erase, as a firmware file that restores
// it, in the program's data folder: <vid>-<pid>-<serial>-<UTC time>.dfu under
// Brindleflash/backups, the last few per device. DFU_BACKUP=off skips it; DFU_BACKUP=required
// lets no update start without a complete backup.
#ifndef FIRMWAREBACKUP_H
#define FIRMWAREBACKUP_H

#include "dfusecommand/backupplan.h"
#include "dfusecommand/flashverifier.h"
#include "dfusecommand/toolresult.h"

#include <QDateTime>
#include <QString>

#include <functional>

class PhaseReporter;
class QProcessEnvironment;

class FirmwareBackup
{
public:
    // Backups kept per device, the one just made among them.
    static constexpr int KeptPerDevice = 5;
    // The log line that gives the saved file's SHA-256, which the update of every device reports.
    static constexpr char HashPrefix[] = "SHA-256 of the backup: ";

    enum Mode { Optional, Off, Required };
    using Reader = std::function<FlashVerifier::ReadBack(const BackupPlan::Part &part)>;

    // False, with the reason in *result, when DFU_BACKUP holds another value than off or
    // required (empty or unset: a backup where one can be made).
    static bool fromEnvironment(const QProcessEnvironment &env, FirmwareBackup *backup,
                                ToolResult *result);
    // Where the backups go: the data folder of the program, whose tool this is.
    static QString folder();

    // Reads the plan's parts and writes them for the device with these ids ("0483:DF11") and
    // serial. A failure means the update must not start: the device could not be read at all,
    // or the backup is incomplete and required.
    ToolResult save(BackupPlan plan, const QString &ids, const QString &serial, const Reader &read,
                    PhaseReporter &progress) const;

private:
    ToolResult without(const QString &why, PhaseReporter &progress) const;
    bool write(const QByteArray &bytes, const QString &prefix, QString *path, QString *error) const;
    static void removeOldest(const QString &folder, const QString &prefix, const QString &kept);

    Mode mode = Optional;
};

#endif // FIRMWAREBACKUP_H
