// The simulated device. Erasing fills an element's memory with 0xFF, downloading writes it
// block by block, so an interrupted download leaves what a real one would.
#include "updatetool/simulatorbackend.h"

#include "updatetool/dfusefile.h"
#include "updatetool/dfuseformat.h"
#include "updatetool/flashverifier.h"
#include "updatetool/phasereporter.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

bool onlyErased(const char *data, qint64 size)
{
    for (qint64 i = 0; i < size; ++i) {
        if (uchar(data[i]) != 0xFF)
            return false;
    }
    return true;
}

} // namespace

std::unique_ptr<SimulatorBackend> SimulatorBackend::fromEnvironment(const QProcessEnvironment &env,
                                                                    ToolResult *result)
{
    const QString faultName = env.value("DFU_SIMULATOR_FAULT");
    Fault fault = NoFault;
    if (faultName == "absent") {
        fault = Absent;
    } else if (faultName == "disconnect") {
        fault = Disconnect;
    } else if (faultName == "crash") {
        fault = Crash;
    } else if (faultName == "corrupt") {
        fault = Corrupt;
    } else if (faultName == "noreadback") {
        fault = NoReadBack;
    } else if (!faultName.isEmpty()) {
        *result = ToolResult::failure(ExitUsage,
                                      "DFU_SIMULATOR_FAULT is \"" + faultName
                                          + "\". Use absent, disconnect, crash, corrupt or "
                                            "noreadback, or leave it unset.");
        return nullptr;
    }

    int delayMs = DefaultDelayMs;
    if (env.contains("DFU_SIMULATOR_DELAY_MS")) {
        bool ok = false;
        delayMs = env.value("DFU_SIMULATOR_DELAY_MS").toInt(&ok);
        if (!ok || delayMs < 0 || delayMs > 60000) {
            *result = ToolResult::failure(
                ExitUsage,
                "DFU_SIMULATOR_DELAY_MS is \"" + env.value("DFU_SIMULATOR_DELAY_MS")
                    + "\". Give a number of milliseconds from 0 to 60000.");
            return nullptr;
        }
    }
    *result = ToolResult::success();
    return std::make_unique<SimulatorBackend>(env.value("DFU_SIMULATOR_DIR"), fault, delayMs);
}

SimulatorBackend::SimulatorBackend(const QString &directory, Fault fault, int delayMs)
    : directory(directory)
    , fault(fault)
    , delayMs(delayMs)
{ }

QString SimulatorBackend::memoryFileName(quint8 alternateSetting, quint32 address)
{
    return QString("alt%1-%2.bin").arg(alternateSetting).arg(DfuSeFormat::hex32(address).mid(2));
}

// The simulated device takes any file: there are no ids to match.
ToolResult SimulatorBackend::open(const DfuSeFile &, PhaseReporter &)
{
    if (fault == Absent)
        return ToolResult::failure(ExitNoDevice,
                                   "No DFU device was found. Connect the device, "
                                   "put it into DFU mode and try again.");
    if (!QDir().mkpath(directory))
        return ToolResult::failure(ExitCannotOpen,
                                   "The simulated DFU device in \"" + directory
                                       + "\" cannot be opened: that folder "
                                         "cannot be created.");
    return ToolResult::success();
}

ToolResult SimulatorBackend::download(const DfuSeFile &file, const QString &, bool skipErased,
                                      PhaseReporter &progress)
{
    progress.context(QString("Simulated DFU device, memory in %1").arg(directory));
    const ToolResult erased = erase(file, progress);
    if (!erased.ok())
        return erased;

    progress.begin(PhaseReporter::Download);
    const qint64 faultAt = file.dataSize() / 2;
    qint64 sent = 0;
    bool corrupted = false;
    for (int t = 0; t < file.targets.size(); ++t) {
        const DfuSeTarget &target = file.targets.at(t);
        for (int e = 0; e < target.elements.size(); ++e) {
            const DfuSeElement &element = target.elements.at(e);
            // The name goes in last: markers in it must not be filled in.
            const QString label
                = target.named ? " \"" + QString::fromLatin1(target.name) + "\"" : "";
            progress.context(QString("Target %1 (alternate setting %2): element %3 of %4, %5 bytes "
                                     "at %6")
                                 .arg(t + 1)
                                 .arg(target.alternateSetting)
                                 .arg(e + 1)
                                 .arg(target.elements.size())
                                 .arg(element.data.size())
                                 .arg(DfuSeFormat::hex32(element.address))
                             + label);
            const QString name = memoryFileName(target.alternateSetting, element.address);
            QFile memory(QDir(directory).filePath(name));
            if (!memory.open(QIODevice::ReadWrite))
                return storeFailure(name, memory.errorString());

            qint64 skipped = 0;
            for (qint64 offset = 0; offset < element.data.size(); offset += BlockSize) {
                const qint64 length = qMin<qint64>(BlockSize, element.data.size() - offset);
                if ((fault == Disconnect || fault == Crash) && sent + length > faultAt) {
                    if (fault == Crash)
                        crash();
                    return ToolResult::failure(
                        ExitTransferFailed,
                        "The device was disconnected during the download at "
                            + DfuSeFormat::hex32(quint32(element.address + offset))
                            + ". Its firmware is incomplete: reconnect it in DFU mode and "
                              "retry the update.");
                }
                const char *block = element.data.constData() + offset;
                if (skipErased && onlyErased(block, length)) {
                    skipped += length;
                } else if (!memory.seek(offset) || memory.write(block, length) != length) {
                    return storeFailure(name, memory.errorString());
                }
                sent += length;
                progress.advance(PhaseReporter::Download, length);
                pause();
            }
            // One byte in the middle of the first element keeps the wrong value.
            if (fault == Corrupt && !corrupted && !element.data.isEmpty()) {
                corrupted = true;
                const qint64 middle = element.data.size() / 2;
                const char wrong = char(~element.data.at(int(middle)));
                if (!memory.seek(middle) || memory.write(&wrong, 1) != 1)
                    return storeFailure(name, memory.errorString());
            }
            if (!memory.flush())
                return storeFailure(name, memory.errorString());
            progress.context(skipped > 0
                                 ? QString("Wrote %1 bytes at %2, skipped %3 bytes that hold only "
                                           "0xFF")
                                       .arg(element.data.size() - skipped)
                                       .arg(DfuSeFormat::hex32(element.address))
                                       .arg(skipped)
                                 : QString("Wrote %1 bytes at %2")
                                       .arg(element.data.size())
                                       .arg(DfuSeFormat::hex32(element.address)));
        }
    }
    progress.finish(PhaseReporter::Download);
    return ToolResult::success();
}

ToolResult SimulatorBackend::erase(const DfuSeFile &file, PhaseReporter &progress)
{
    progress.begin(PhaseReporter::Erase);
    const QByteArray erasedBlock(BlockSize, char(0xFF));
    for (const DfuSeTarget &target : file.targets) {
        for (const DfuSeElement &element : target.elements) {
            const QString name = memoryFileName(target.alternateSetting, element.address);
            QFile memory(QDir(directory).filePath(name));
            if (!memory.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return storeFailure(name, memory.errorString());
            for (qint64 offset = 0; offset < element.data.size(); offset += BlockSize) {
                const qint64 length = qMin<qint64>(BlockSize, element.data.size() - offset);
                if (memory.write(erasedBlock.constData(), length) != length)
                    return storeFailure(name, memory.errorString());
                progress.advance(PhaseReporter::Erase, length);
                pause();
            }
        }
    }
    progress.finish(PhaseReporter::Erase);
    return ToolResult::success();
}

ToolResult SimulatorBackend::verify(const DfuSeFile &file, PhaseReporter &progress)
{
    return FlashVerifier::verify(
        file, progress, [this](quint8 alternateSetting, const DfuSeElement &element) {
            FlashVerifier::ReadBack back;
            if (fault == NoReadBack) {
                back.problem = "the simulated device refuses read-back, as a read-protected one "
                               "does";
                return back;
            }
            QFile memory(
                QDir(directory).filePath(memoryFileName(alternateSetting, element.address)));
            back.ok = memory.open(QIODevice::ReadOnly);
            if (back.ok)
                back.bytes = memory.readAll();
            else
                back.problem = "cannot read " + memory.fileName() + ": " + memory.errorString();
            return back;
        });
}

ToolResult SimulatorBackend::leave(PhaseReporter &progress)
{
    progress.leaving();
    return ToolResult::success();
}

ToolResult SimulatorBackend::storeFailure(const QString &fileName, const QString &reason) const
{
    return ToolResult::failure(ExitTransferFailed,
                               "The simulated device could not store "
                                   + QDir(directory).filePath(fileName) + " (" + reason
                                   + "). Free some space or fix the "
                                     "folder's permissions and retry.");
}

void SimulatorBackend::pause() const
{
    if (delayMs > 0)
        QThread::msleep(ulong(delayMs));
}

void SimulatorBackend::crash()
{
    std::fflush(stdout);
#ifdef Q_OS_UNIX
    // A simulated crash should not leave a core file behind.
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
#endif
    std::abort();
}
