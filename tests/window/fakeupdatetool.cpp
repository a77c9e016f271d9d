// The window tests' stand-in for the update tool. It records its pid, its arguments (one a line),
// its launches and the DFU_DEVICE of each ("-" when unset) beside itself, then runs the steps in
// DfuSeCommand.script there, one a line:
//   out TEXT, err TEXT   print TEXT, with \n \r \0 \\ escapes, to standard output or error
//   wait                 until a file "go" appears beside the tool, which it then removes
//   exit N               exit with code N (the script's end is exit 0)
//   crash                die as a crashed program does
//   signal N             die of POSIX signal N
//   launch N STEP        STEP only on the tool's Nth launch
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QThread>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

// The test compares bytes: no CR may be added before a line feed.
static void rawOutput()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

static void die(int signal)
{
    if (signal == 0)
        TerminateProcess(GetCurrentProcess(), 0xC0000005);
    std::fputs("no POSIX signals on Windows\n", stderr);
    std::exit(99);
}
#else
#include <csignal>
#include <unistd.h>

static void rawOutput() { }

static void die(int signal)
{
    ::kill(::getpid(), signal == 0 ? SIGKILL : signal);
}
#endif

static QByteArray unescape(const QByteArray &text)
{
    QByteArray bytes;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != '\\' || i + 1 == text.size()) {
            bytes += text.at(i);
            continue;
        }
        const char c = text.at(++i);
        bytes += c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
    }
    return bytes;
}

static void write(const QString &path, const QByteArray &bytes, QIODevice::OpenMode mode)
{
    QFile file(path);
    if (file.open(mode))
        file.write(bytes);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    rawOutput();
    const QString dir = QCoreApplication::applicationDirPath() + '/';

    // Whole or not at all: a test polls for these.
    QSaveFile pid(dir + "pid");
    pid.open(QIODevice::WriteOnly);
    pid.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    pid.commit();
    QSaveFile args(dir + "args");
    args.open(QIODevice::WriteOnly);
    for (const QString &argument : app.arguments().mid(1))
        args.write(argument.toUtf8() + '\n');
    args.commit();
    write(dir + "launches", "run\n", QIODevice::Append);
    write(dir + "devices", qEnvironmentVariable("DFU_DEVICE", "-").toUtf8() + '\n',
          QIODevice::Append);

    QFile launchesFile(dir + "launches");
    launchesFile.open(QIODevice::ReadOnly);
    const int launch = launchesFile.readAll().count('\n');

    QFile script(dir + "DfuSeCommand.script");
    if (!script.open(QIODevice::ReadOnly))
        return 98;
    for (QByteArray line : script.readAll().split('\n')) {
        if (line.startsWith("launch ")) {
            const int space = line.indexOf(' ', 7);
            if (line.mid(7, space - 7).toInt() != launch)
                continue;
            line = line.mid(space + 1);
        }
        const int space = line.indexOf(' ');
        const QByteArray step = space < 0 ? line : line.left(space);
        const QByteArray rest = space < 0 ? QByteArray() : line.mid(space + 1);
        if (step == "out" || step == "err") {
            FILE *stream = step == "out" ? stdout : stderr;
            const QByteArray text = unescape(rest);
            std::fwrite(text.constData(), 1, size_t(text.size()), stream);
            std::fflush(stream);
        } else if (step == "wait") {
            // On Windows the file cannot be removed while the test still holds it open, and a
            // "go" left behind would let the next wait through.
            while (!QFile::remove(dir + "go"))
                QThread::msleep(10);
        } else if (step == "exit") {
            return rest.toInt();
        } else if (step == "crash") {
            die(0);
        } else if (step == "signal") {
            die(rest.toInt());
        }
    }
    return 0;
}
