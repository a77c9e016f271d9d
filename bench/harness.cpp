// Runs the update tool found beside this program two ways and prints the time from the start
// to the end of the run (ms) and the longest event-loop stall meanwhile (ms):
//   window     Brindleflash's window, started with its start button; ends when the window
//              closes on success
//   reference  a plain log view that appends each chunk of the tool's output and nothing else
// Usage: bench_flood or bench_demo, then window or reference, [--show-log] [firmware-file]
#include "stallprobe.h"

#include "app/form/mainwindowform.h"
#include "app/mainwindow.h"
#include "tests/mainwindowprobe.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <memory>

namespace {

// The first paint of the window is start-up, not part of the run.
const int settleMs = 200;

QStringList toolArguments(const QString &firmware)
{
    return {"-c", "-d", "--o", "--fn", firmware, "-l"};
}

QString toolPath()
{
    return QCoreApplication::applicationDirPath() + "/updateTool/DfuSeCommand.exe";
}

int fail(const char *message)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), message);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const bool showLog = arguments.removeAll("--show-log") > 0;
    if (arguments.isEmpty() || arguments.size() > 2)
        return fail("usage: bench_flood|bench_demo window|reference [--show-log] [firmware-file]");
    const QString mode = arguments.at(0);
    const QString firmware = arguments.value(1, QCoreApplication::applicationFilePath());

    StallProbe probe;
    QElapsedTimer clock;
    qint64 totalNs = -1;
    bool succeeded = false;
    const auto finish = [&](bool success) {
        if (totalNs >= 0)
            return;
        totalNs = clock.nsecsElapsed();
        probe.stop();
        succeeded = success;
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    };

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QMainWindow> plainWindow;
    std::unique_ptr<QProcess> process;

    if (mode == "window") {
        window.reset(new MainWindow);
        window->show();
        MainWindowProbe::firmwareFile(*window) = firmware;
        MainWindowForm *form = MainWindowProbe::form(*window);
        if (showLog)
            form->showDetailsButton->click();
        QObject::connect(window->windowHandle(), &QWindow::visibleChanged, [&, form](bool visible) {
            if (!visible)
                finish(form->statusLabel->text() == "Status: Update Successful");
        });
        QTimer::singleShot(settleMs, [&, form] {
            clock.start();
            probe.start();
            form->startUpdateButton->click();
            // Any end but success leaves the window open: the tool finished or never ran.
            QProcess *tool = MainWindowProbe::process(*window);
            if (!tool) {
                finish(false);
                return;
            }
            QObject::connect(tool, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                             [&] {
                                 if (window->isVisible())
                                     finish(false);
                             });
            QObject::connect(tool, &QProcess::errorOccurred, [&] { finish(false); });
        });
    } else if (mode == "reference") {
        plainWindow.reset(new QMainWindow);
        plainWindow->resize(450, 346);
        QPlainTextEdit *log = new QPlainTextEdit;
        QFont font;
        font.setFamily("Lucida Console");
        log->setFont(font);
        log->setLineWrapMode(QPlainTextEdit::NoWrap);
        log->setReadOnly(true);
        plainWindow->setCentralWidget(log);
        log->setVisible(showLog);
        plainWindow->show();
        process.reset(new QProcess);
        QObject::connect(process.get(), &QProcess::readyReadStandardOutput, [&, log] {
            const QByteArray chunk = process->readAllStandardOutput();
            if (!chunk.isEmpty())
                log->appendPlainText(QString::fromUtf8(chunk));
        });
        QObject::connect(process.get(), &QProcess::readyReadStandardError,
                         [&] { process->readAllStandardError(); });
        QObject::connect(process.get(),
                         QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         [&](int code, QProcess::ExitStatus status) {
                             finish(code == 0 && status == QProcess::NormalExit);
                         });
        QObject::connect(process.get(), &QProcess::errorOccurred, [&](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                finish(false);
        });
        QTimer::singleShot(settleMs, [&] {
            clock.start();
            probe.start();
            process->start(toolPath(), toolArguments(firmware),
                           QIODevice::ReadWrite | QIODevice::Unbuffered);
        });
    } else {
        return fail("the mode is window or reference");
    }

    app.exec();
    if (!succeeded)
        return fail("the update did not succeed");
    std::printf("%.3f %.3f\n", totalNs / 1e6, probe.longestStallMs());
    return 0;
}
