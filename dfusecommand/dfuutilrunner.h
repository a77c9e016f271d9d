// One run of dfu-util: its output read as it comes, its time and silence limits, the device
// status it printed, and what its failures mean for the user.
#ifndef DFUUTILRUNNER_H
#define DFUUTILRUNNER_H

#include "dfusecommand/dfuutiloutput.h"
#include "dfusecommand/toolresult.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class PhaseReporter;

class DfuUtilRunner
{
public:
    // A listing still running after this long is ended and counts as a failed one.
    static constexpr int ListingLimitMs = 10000;
    // Only the end of dfu-util's standard error is kept for messages.
    static constexpr int MaximumErrorSize = 64 * 1024;
    // Once dfu-util has what the tool asked for, how long it gets to end by itself before it is
    // ended: at the very end of its work a kill would catch it letting the device go.
    static constexpr int EndingGraceMs = 500;

    static constexpr char NoDeviceText[] = "No DFU capable USB device available";
    static constexpr char CannotOpenText[] = "Cannot open DFU device";
    static constexpr char ConnectAdvice[]
        = "Connect the device, put it into DFU mode and try again.";

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

    DfuUtilRunner(const QString &program, int stallSeconds);

    // Once *enough turns true, dfu-util is ended, and that counts as a clean end.
    Run run(const QStringList &arguments,
            const std::function<void(const DfuUtilOutput::Record &)> &onRecord,
            Watch watch = SilenceLimit, const bool *enough = nullptr) const;
    // device names the device in messages.
    ToolResult failure(const Run &run, const QString &doing, bool firmwareTouched,
                       const QString &device) const;
    static ToolResult cannotOpen(const QString &device, const QString &why);
    static QString messageOf(const Run &run);
    static void passOn(const DfuUtilOutput::Record &record, PhaseReporter &progress);

private:
    Run runOnce(const QStringList &arguments,
                const std::function<void(const DfuUtilOutput::Record &)> &onRecord, Watch watch,
                const bool *enough) const;
    static void noteStatus(const QByteArray &line, Run *run);

    QString program;
    int stallSeconds;
};

#endif // DFUUTILRUNNER_H
