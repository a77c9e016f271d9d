// The DFU command. Nothing reaches a device until the whole file has been checked.
#include "dfusecommand/updatetool.h"

#include "dfuse/dfuseformat.h"
#include "dfuse/dfusereader.h"
#include "dfuse/dfusewriter.h"
#include "dfuse/downloadplan.h"
#include "dfusecommand/dfuutilbackend.h"
#include "dfusecommand/fleetupdate.h"
#include "dfusecommand/os/endingsignals.h"
#include "dfusecommand/os/nativenames.h"
#include "dfusecommand/os/privatecopy.h"
#include "dfusecommand/os/scratchfolder.h"
#include "dfusecommand/phasereporter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QProcessEnvironment>

#include <cstdio>

namespace {

void printError(const QString &text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString plural(qint64 count, const char *noun)
{
    return QString("%1 %2%3").arg(count).arg(noun).arg(count == 1 ? "" : "s");
}

} // namespace

int UpdateTool::run(const QStringList &arguments, const QProcessEnvironment &env,
                    const NativeNames &names)
{
    QCommandLineParser parser;
    const QCommandLineOption connectOption("c");
    const QCommandLineOption downloadOption("d");
    const QCommandLineOption skipErasedOption("o");
    const QCommandLineOption fileOption("fn", QString(), "FILE");
    const QCommandLineOption leaveOption("l");
    const QCommandLineOption allOption("all");
    const QCommandLineOption reportOption("report", QString(), "FILE");
    parser.addOptions({connectOption, downloadOption, skipErasedOption, fileOption, leaveOption,
                       allOption, reportOption});

    if (!parser.parse(arguments))
        return usage(parser.errorText().endsWith('.') ? parser.errorText()
                                                      : parser.errorText() + ".");
    if (!parser.positionalArguments().isEmpty())
        return usage("Unexpected argument \"" + parser.positionalArguments().first() + "\".");
    if (!parser.isSet(fileOption))
        return usage("No firmware file given.");
    if ((parser.isSet(downloadOption) || parser.isSet(leaveOption)) && !parser.isSet(connectOption))
        return usage("-d and -l need -c to connect to the device first.");
    if (parser.isSet(allOption) && !parser.isSet(connectOption))
        return usage("--all needs -c to connect to the devices.");
    if (parser.isSet(reportOption) && !parser.isSet(allOption))
        return usage("--report is for --all, the update of every device.");
    const QString reportPath = parser.value(reportOption);
    if (parser.isSet(reportOption)) {
        const QString problem = FleetUpdate::reportProblem(reportPath);
        if (!problem.isEmpty())
            return exitWith(ToolResult::failure(ExitUsage,
                                                "The report \"" + reportPath
                                                    + "\" cannot be written: " + problem
                                                    + ". Nothing was written to any device."));
    }

    PrivateCopy::removeLeftovers();
    ScratchFolder::removeLeftovers();
    const QString path = parser.value(fileOption);
    DfuSeReader reader;
    if (!reader.readFile(names.openable(path))) {
        const QString where = "The firmware file \"" + path + "\"";
        const QString what = !reader.isDfuFile()     ? "is neither a DfuSe nor a DFU"
            : reader.file().kind == DfuSeFile::Plain ? "is not a valid plain DFU"
                                                     : "is not a valid DfuSe";
        return exitWith(ToolResult::failure(
            ExitInvalidFile,
            reader.hasFormatError()
                ? QString("%1 %2 file: %3 (offset %4).")
                      .arg(where, what, reader.errorString(), QString::number(reader.errorOffset()))
                : QString("%1 cannot be used: %2.").arg(where, reader.errorString())));
    }
    const DfuSeFile &file = reader.file();

    PhaseReporter progress(file.dataSize());
    const QString contents = file.kind == DfuSeFile::Plain
        ? "plain DFU, " + plural(file.dataSize(), "byte")
        : QString("%1, %2, %3")
              .arg(plural(file.targets.size(), "target"), plural(file.elementCount(), "element"),
                   plural(file.dataSize(), "byte"));
    progress.context(QString("Firmware file %1: %2 for device %3:%4")
                         .arg(path, contents, DfuSeFormat::hex32(file.vendorId).right(4),
                              DfuSeFormat::hex32(file.productId).right(4)));
    // To compare with the one the firmware's maker published.
    const QString firmwareHash = QString::fromLatin1(
        QCryptographicHash::hash(reader.bytes(), QCryptographicHash::Sha256).toHex());
    progress.context("SHA-256 of the firmware file: " + firmwareHash);
    for (const QString &note : reader.notes())
        progress.context(note);
    if (!parser.isSet(connectOption))
        return ExitSuccess;

    ToolResult result = ToolResult::success();
    const std::unique_ptr<DfuUtilBackend> backend
        = DfuUtilBackend::fromEnvironment(env, QCoreApplication::applicationDirPath(), &result);
    if (!backend)
        return exitWith(result);
    if (parser.isSet(allOption)) {
        QStringList flags = {"-c"};
        for (const char *flag : {"d", "o", "l"}) {
            if (parser.isSet(flag))
                flags << (qstrcmp(flag, "o") == 0 ? "--o" : QString("-") + flag);
        }
        return updateEvery(flags, reportPath, reader, firmwareHash, *backend, progress, env);
    }
    result = backend->open(file, progress);
    if (result.ok() && parser.isSet(downloadOption)) {
        const DownloadPlan plan = file.kind == DfuSeFile::DfuSe
            ? DownloadPlan::make(file, backend->memoryLayouts())
            : DownloadPlan {file, {}};
        for (const QString &note : plan.notes)
            progress.context(note);
        // The bytes checked above, not the file as it may be on disk by now.
        const PrivateCopy copy(plan.changed() ? DfuSeWriter::write(plan.file) : reader.bytes());
        result = copy.isValid()
            ? warnOf(backend->download(plan.file, copy.path(), progress))
            : ToolResult::failure(ExitTransferFailed,
                                  "The checked firmware cannot be copied for the download ("
                                      + copy.errorString() + "). Nothing was written.");
        // A failed check leaves the device in DFU mode, ready for another try.
        if (result.ok())
            result = warnOf(backend->verify(file, progress));
    }
    if (result.ok() && parser.isSet(leaveOption))
        result = warnOf(backend->leave(progress));
    return exitWith(result);
}

// Each device gets a tool of its own, given the bytes checked here.
int UpdateTool::updateEvery(const QStringList &flags, const QString &reportPath,
                            const DfuSeReader &reader, const QString &firmwareHash,
                            DfuUtilBackend &backend, PhaseReporter &progress,
                            const QProcessEnvironment &env)
{
    QVector<DeviceFinder::Device> devices;
    const ToolResult found = backend.findEvery(reader.file(), progress, &devices);
    if (!found.ok())
        return exitWith(found);
    for (const DeviceFinder::Device &device : qAsConst(devices))
        progress.context(device.line());
    int code = ExitSuccess;
    int signal = 0;
    {
        const PrivateCopy copy(reader.bytes());
        if (!copy.isValid())
            return exitWith(
                ToolResult::failure(ExitTransferFailed,
                                    "The checked firmware cannot be copied for the devices ("
                                        + copy.errorString() + "). Nothing was written."));
        FleetUpdate fleet(QCoreApplication::applicationFilePath(),
                          flags + QStringList {"--fn", copy.path()}, reportPath, firmwareHash);
        code = fleet.run(
            devices, env, [&] { return backend.everyDevice(); }, progress);
        signal = fleet.caughtSignal();
    }
    if (signal != 0)
        EndingSignals::endBy(signal);
    return code;
}

int UpdateTool::usage(const QString &problem)
{
    printError(problem
               + "\n"
                 "Usage: DfuSeCommand.exe [--all [--report FILE]] -c [-d] [--o] --fn FILE [-l]\n"
                 "  -c         connect to the DFU device\n"
                 "  -d         download the firmware file to it\n"
                 "  --o        accepted as the window passes it; dfu-util writes every block\n"
                 "  --fn FILE  the DfuSe or plain DFU firmware file (*.dfu), checked first\n"
                 "  -l         leave DFU mode after the download\n"
                 "  --all      update every matching device at once, each at its USB port\n"
                 "  --report FILE  with --all, write what became of each device, as JSON\n"
                 "DFU_DEVICE=PORT or DFU_DEVICE=serial:SERIAL takes that device alone.");
    return ExitUsage;
}

// A step that counts as done may still have something to tell.
ToolResult UpdateTool::warnOf(const ToolResult &result)
{
    if (result.ok() && !result.message().isEmpty())
        printError(result.message());
    return result.ok() ? ToolResult::success() : result;
}

int UpdateTool::exitWith(const ToolResult &result)
{
    if (!result.ok())
        printError(result.message());
    return result.exitCode();
}
