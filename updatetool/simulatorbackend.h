// A simulated DFU device for demos and tests: its memory is one file per element in a folder.
#ifndef SIMULATORBACKEND_H
#define SIMULATORBACKEND_H

#include "updatetool/dfubackend.h"

#include <QString>

#include <memory>

class QProcessEnvironment;

class SimulatorBackend : public DfuBackend
{
public:
    enum Fault { NoFault, Absent, Disconnect, Crash, Corrupt, NoReadBack };

    static constexpr int DefaultDelayMs = 10;
    static constexpr int BlockSize = 2048;

    // Null, with the reason in *result, when a DFU_SIMULATOR_ variable holds a bad value.
    static std::unique_ptr<SimulatorBackend> fromEnvironment(const QProcessEnvironment &env,
                                                             ToolResult *result);

    SimulatorBackend(const QString &directory, Fault fault, int delayMs);

    ToolResult open(const DfuSeFile &file, PhaseReporter &progress) override;
    ToolResult download(const DfuSeFile &file, const QString &path, bool skipErased,
                        PhaseReporter &progress) override;
    ToolResult verify(const DfuSeFile &file, PhaseReporter &progress) override;
    ToolResult leave(PhaseReporter &progress) override;

    static QString memoryFileName(quint8 alternateSetting, quint32 address);

private:
    ToolResult erase(const DfuSeFile &file, PhaseReporter &progress);
    ToolResult storeFailure(const QString &fileName, const QString &reason) const;
    void pause() const;
    [[noreturn]] static void crash();

    QString directory;
    Fault fault;
    int delayMs;
};

#endif // SIMULATORBACKEND_H
