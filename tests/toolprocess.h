// Running the update tool and its helpers as processes, and reading what they print.
#ifndef TOOLPROCESS_H
#define TOOLPROCESS_H

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

struct Run
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    QByteArray out;
    QByteArray err;
};

inline Run runProgram(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
#ifdef Q_OS_WIN
    // Under load Wine's CreateProcess now and then fails with "Internal error.", a fault of
    // the emulation rather than of the program: start it again, a few times at most.
    for (int attempt = 1; attempt < 4 && process.state() == QProcess::NotRunning; ++attempt)
        process.start(program, arguments);
#endif
    Run run;
    if (!process.waitForFinished(60000)) {
        // What went wrong reaches the failure message with the rest of stderr.
        run.err = process.readAllStandardError() + "\n" + process.errorString().toUtf8();
        return run;
    }
    run.exitCode = process.exitCode();
    run.exitStatus = process.exitStatus();
    // Windows programs end their lines with CR LF.
    run.out = process.readAllStandardOutput().replace("\r\n", "\n");
    run.err = process.readAllStandardError().replace("\r\n", "\n");
    return run;
}

// The caller's own device settings must not leak into a test.
inline QProcessEnvironment environmentWithoutDevice()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &key : env.keys()) {
        if (key.startsWith("DFU_"))
            env.remove(key);
    }
    return env;
}

// Each setting is KEY=VALUE, or KEY alone to remove it; "%WORK%" in a value is the work folder.
inline QProcessEnvironment withSettings(QProcessEnvironment env, const QStringList &settings,
                                        const QString &work)
{
    for (const QString &setting : settings) {
        const int equals = setting.indexOf('=');
        QString value = setting.mid(equals + 1);
        value.replace("%WORK%", work);
        if (equals < 0)
            env.remove(setting);
        else
            env.insert(setting.left(equals), value);
    }
    return env;
}

#ifdef Q_OS_WIN
inline bool processEnded(const QByteArray &pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid.trimmed().toULong()));
    if (!process)
        return true;
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}
#else
// Gone, or dead and waiting for init to reap it.
inline bool processEnded(const QByteArray &pid)
{
    QFile stat("/proc/" + pid + "/stat");
    return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
}
#endif

// The file's name, or an empty one when it could not be written whole.
inline QString writeFile(const QString &fileName, const QByteArray &bytes)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

inline QByteArray pattern(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

inline QList<QByteArray> outputLines(const QByteArray &out)
{
    QList<QByteArray> lines = out.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

inline const QRegularExpression &phaseLine()
{
    static const QRegularExpression line("^Upgrading - (Erase|Download) Phase \\((\\d+)\\)$");
    return line;
}

// Only lines that announce a phase may contain what the window looks for.
inline bool looksLikePhase(const QByteArray &line)
{
    return line.contains("Phase (") || line.contains("Leaving DFU Mode...");
}

// The percentages of each phase, in the order printed.
inline QMap<QString, QList<int>> phasePercents(const QByteArray &out)
{
    QMap<QString, QList<int>> percents;
    for (const QByteArray &line : outputLines(out)) {
        const QRegularExpressionMatch match = phaseLine().match(QString::fromUtf8(line));
        if (match.hasMatch())
            percents[match.captured(1)] << match.captured(2).toInt();
    }
    return percents;
}

#endif // TOOLPROCESS_H
