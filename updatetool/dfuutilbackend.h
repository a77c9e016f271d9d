// Real hardware through dfu-util: waits for the device, asking a run-time one to switch to DFU
// mode, downloads each alternate setting's targets in DfuSe mode or a plain file's image, turns
// dfu-util's progress bars into our phase lines and reads every element back.
#ifndef DFUUTILBACKEND_H
#define DFUUTILBACKEND_H

#include "updatetool/dfusefile.h"
#include "updatetool/dfuutiloutput.h"
#include "updatetool/downloadplan.h"
#include "updatetool/flashverifier.h"
#include "updatetool/toolresult.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>

class PhaseReporter;
class QProcessEnvironment;

class DfuUtilBackend
{
public:
    static constexpr int DefaultWaitSeconds = 10;
    // How long a download, upload or leave request may go without a word from dfu-util.
    static constexpr int DefaultStallSeconds = 60;
    // A listing still running after this long is ended and counts as a failed one.
    static constexpr int ListingLimitMs = 10000;
    // Only the end of dfu-util's standard error is kept for messages.
    static constexpr int MaximumErrorSize = 64 * 1024;
    static constexpr int PollIntervalMs = 250;
    // Once dfu-util has what the tool asked for, how long it gets to end by itself before it is
    // ended: at the very end of its work a kill would catch it letting the device go.
    static constexpr int EndingGraceMs = 500;
    // After dfu-util first says it may not open the device, how long udev gets to grant access.
    static constexpr int AccessGraceMs = 1000;

    // Looks for dfu-util beside the tool first, then on the PATH. Null, with the reason in
    // *result, when there is none or DFU_WAIT_SECONDS or DFU_STALL_SECONDS holds a bad value.
    static std::unique_ptr<DfuUtilBackend> fromEnvironment(const QProcessEnvironment &env,
                                                           const QString &toolDirectory,
                                                           ToolResult *result);

    DfuUtilBackend(const QString &program, int waitSeconds, int stallSeconds);

    // Finds the one device the file is meant for and opens it.
    ToolResult open(const DfuSeFile &file, PhaseReporter &progress);
    // Erases what the file's elements cover and writes them. The file has been checked; path is
    // where those very bytes lie.
    ToolResult download(const DfuSeFile &file, const QString &path, bool skipErased,
                        PhaseReporter &progress);
    // Reads every element back and compares it with the file, before the device may leave.
    ToolResult verify(const DfuSeFile &file, PhaseReporter &progress);
    // Lets the device leave DFU mode and start its new firmware.
    ToolResult leave(PhaseReporter &progress);
    // The memory layouts the open device names, by alternate setting.
    const MemoryLayouts &memoryLayouts() const { return layouts; }

private:
    // A listing is ended after ListingLimitMs; anything else after stallSeconds of silence.
    enum Watch { TimeLimit, SilenceLimit };
    struct Run
    {
        bool started = false;
        bool crashed = false;
        // Ended by the tool for taking too long; crashed is then true as well.
        bool stopped = false;
        int exitCode = -1;
        QString startError;
        QByteArray err;
        // The last error status dfu-util printed, 0 for none.
        int status = 0;
        QString statusText;
    };
    struct Listing
    {
        QStringList matching;
        QString ids;
        QVector<int> alternates;
        QStringList others;
        bool accessDenied = false;
        // The found device's alternate settings name memory layouts: a DfuSe device.
        bool layouts = false;
        QMap<int, QString> layoutTexts;
        // Devices in run-time mode, each as the ids and USB path dfu-util prints.
        QVector<QPair<QString, QString>> runtime;
        // Why dfu-util could not list the devices this time; empty when it could.
        QString failure;
    };

    // Once *enough turns true, dfu-util is ended, and that counts as a clean end.
    Run run(const QStringList &arguments,
            const std::function<void(const DfuUtilOutput::Record &)> &onRecord,
            Watch watch = SilenceLimit, const bool *enough = nullptr) const;
    ToolResult list(Listing *listing) const;
    bool detach(const Listing &listing, PhaseReporter &progress, ToolResult *result) const;
    void readLayouts(const Listing &listing, const DfuSeFile &file, PhaseReporter &progress);
    ToolResult downloadPlain(const QString &path, qint64 imageSize, PhaseReporter &progress);
    ToolResult tooLarge(qint64 imageSize, PhaseReporter &progress) const;
    // With a size, dfu-util is ended once it has read that much.
    FlashVerifier::ReadBack upload(const QStringList &arguments, const QString &what,
                                   const QString &path, PhaseReporter &progress,
                                   qint64 size = 0) const;
    QStringList deviceArguments() const;
    QString deviceName() const;
    ToolResult failure(const Run &run, const QString &doing, bool firmwareTouched) const;
    ToolResult cannotOpen(const QString &why) const;
    static QString messageOf(const Run &run);
    static void noteStatus(const QByteArray &line, Run *run);
    static bool refusedUpload(const Run &run);
    static void passOn(const DfuUtilOutput::Record &record, PhaseReporter &progress);

    QString program;
    int waitSeconds;
    int stallSeconds;
    quint16 vendorId = 0xFFFF;
    quint16 productId = 0xFFFF;
    // The ids of the device found, which messages name from then on.
    QString foundIds;
    DfuSeFile::Kind kind = DfuSeFile::DfuSe;
    // A plain device that is not manifestation tolerant leaves DFU mode after the download.
    bool leftAfterDownload = false;
    MemoryLayouts layouts;
    quint32 leaveAddress = 0;
};

#endif // DFUUTILBACKEND_H
