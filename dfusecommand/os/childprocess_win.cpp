// The child starts suspended and joins a job that ends every process in it when the tool's
// handle to it closes, which Windows does however the tool ends.
#include "dfusecommand/os/childprocess.h"

#include <QFileInfo>

#include <windows.h>

namespace {

// Never closed: it goes with the tool, and its children with it.
HANDLE toolJob()
{
    static const HANDLE job = [] {
        const HANDLE made = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (made)
            SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
        return made;
    }();
    return job;
}

} // namespace

ChildProcess::ChildProcess()
{
    setCreateProcessArgumentsModifier([this](QProcess::CreateProcessArguments *arguments) {
        arguments->flags |= CREATE_SUSPENDED;
        created = arguments->processInformation;
    });
}

void ChildProcess::launch(const QString &program, const QStringList &arguments)
{
    // Wine's CreateProcess fails now and then under load with "Internal error.": a start that
    // failed has reached no device, so it is tried again, a few times at most.
    for (int attempt = 0; attempt < 3 && state() == QProcess::NotRunning; ++attempt) {
        created = nullptr;
        start(program, arguments);
        if (!QFileInfo(program).isFile())
            break;
    }
    if (state() == QProcess::NotRunning || !created)
        return;
    const auto *child = static_cast<const PROCESS_INFORMATION *>(created);
    // Without a job (Windows 7 nests none) the child still runs, as it would anywhere.
    const HANDLE job = toolJob();
    if (job)
        AssignProcessToJobObject(job, child->hProcess);
    ResumeThread(child->hThread);
}
