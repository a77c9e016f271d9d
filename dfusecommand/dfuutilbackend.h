// Real hardware through dfu-util: waits for the device, asking a run-time one to switch to DFU
// mode, downloads each alternate setting's targets in DfuSe mode or a plain file's image, turns
// dfu-util's progress bars into our phase lines and reads every element back.
#ifndef DFUUTILBACKEND_H
#define DFUUTILBACKEND_H

#include "dfuse/dfusefile.h"
#include "dfuse/downloadplan.h"
#include "dfusecommand/devicefinder.h"
#include "dfusecommand/dfuutilrunner.h"
#include "dfusecommand/flashverifier.h"
#include "dfusecommand/toolresult.h"

#include <QString>

#include <memory>

class PhaseReporter;
class QProcessEnvironment;

class DfuUtilBackend
{
public:
    static constexpr int DefaultWaitSeconds = 10;
    // How long a download, upload or leave request may go without a word from dfu-util.
    static constexpr int DefaultStallSeconds = 60;
    // Only the end of dfu-util's standard error is kept for messages.
    static constexpr int MaximumErrorSize = DfuUtilRunner::MaximumErrorSize;

    // Looks for dfu-util beside the tool first, then on the PATH. Null, with the reason in
    // *result, when there is none or DFU_WAIT_SECONDS, DFU_STALL_SECONDS or DFU_DEVICE holds a
    // bad value.
    static std::unique_ptr<DfuUtilBackend> fromEnvironment(const QProcessEnvironment &env,
                                                           const QString &toolDirectory,
                                                           ToolResult *result);

    DfuUtilBackend(const QString &program, int waitSeconds, int stallSeconds);

    // Finds the one device the file is meant for and opens it.
    ToolResult open(const DfuSeFile &file, PhaseReporter &progress);
    // Waits for the devices the file is meant for, and lists them all, without opening any.
    ToolResult findEvery(const DfuSeFile &file, PhaseReporter &progress,
                         QVector<DeviceFinder::Device> *devices);
    // Every device on the bus now, in either mode.
    QVector<DeviceFinder::Device> everyDevice() const { return finder.everyDevice(); }
    // Erases what the file's elements cover and writes them. The file has been checked; path is
    // where those very bytes lie.
    ToolResult download(const DfuSeFile &file, const QString &path, PhaseReporter &progress);
    // Reads every element back and compares it with the file, before the device may leave.
    ToolResult verify(const DfuSeFile &file, PhaseReporter &progress);
    // Lets the device leave DFU mode and start its new firmware.
    ToolResult leave(PhaseReporter &progress);
    // The memory layouts the open device names, by alternate setting.
    const MemoryLayouts &memoryLayouts() const { return layouts; }

private:
    void readLayouts(const DeviceFinder::Listing &listing, const DfuSeFile &file,
                     PhaseReporter &progress);
    ToolResult downloadPlain(const QString &path, qint64 imageSize, PhaseReporter &progress);
    ToolResult tooLarge(qint64 imageSize, PhaseReporter &progress) const;
    // With a size, dfu-util is ended once it has read that much.
    FlashVerifier::ReadBack upload(const QStringList &arguments, const QString &what,
                                   const QString &path, PhaseReporter &progress,
                                   qint64 size = 0) const;

    DfuUtilRunner runner;
    DeviceFinder finder;
    DfuSeFile::Kind kind = DfuSeFile::DfuSe;
    // A plain device that is not manifestation tolerant leaves DFU mode after the download.
    bool leftAfterDownload = false;
    MemoryLayouts layouts;
    quint32 leaveAddress = 0;
};

#endif // DFUUTILBACKEND_H
