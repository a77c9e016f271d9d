// Turns the update tool's standard output into status and progress.
#include "app/mainwindow.h"

#include "app/form/mainwindowform.h"
#include "dfusecommand/toolcontract.h"
#include "scan/textscanner.h"

#include <QProgressBar>
#include <QTimer>

namespace {

// A search that remembers a text found nowhere from the front of the buffer: until the buffer
// grows again no rest of it can hold the text, so a flood of lines stays linear to scan.
int skipPastUnlessMissing(TextScanner &scanner, const char *text, bool &missing)
{
    if (missing)
        return ScanMismatch;
    const bool fromFront = scanner.position() == 0;
    const int result = scanner.skipPast(text);
    if (result != ScanOk && fromFront)
        missing = true;
    return result;
}

} // namespace

void MainWindow::processReadyReadSTD()
{
    if (!process)
        return;
    const QByteArray chunk = process->readAllStandardOutput();
    if (chunk.isEmpty())
        return;
    scanOutput(chunk);
}

QString MainWindow::decodeOutput(const QByteArray &bytes)
{
    // Decode every byte: a zero byte must not hide what the tool printed after it.
    QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    text.replace(QChar(0), QChar(QChar::ReplacementCharacter));
    return text;
}

void MainWindow::scanOutput(const QByteArray &chunk)
{
    appendLog("Process Output:\n" + decodeOutput(chunk));
    deviceLines.feed(chunk);
    outputBuffer.append(chunk);

    // Recognised lines are dropped from the front all at once when the chunk is done.
    int consumed = 0;
    bool eraseMissing = false;
    bool downloadMissing = false;
    // The bar repaints at once for every new value. A tool that floods its output would spend
    // our time painting, so the bar paints at most every 30 ms, always its latest value.
    QProgressBar *bar = form->progressBar;
    if (bar->updatesEnabled()) {
        bar->setUpdatesEnabled(false);
        QTimer::singleShot(30, bar, [bar] { bar->setUpdatesEnabled(true); });
    }
    for (;;) {
        TextScanner scanner;
        scanner.init(outputBuffer.constData() + consumed,
                     std::uint32_t(outputBuffer.size() - consumed));
        std::int32_t number = 0;
        QString status;
        int progress = -1;

        if (skipPastUnlessMissing(scanner, ToolContract::ErasePhasePrefix, eraseMissing) == ScanOk
            && scanner.readInteger(&number) == ScanOk
            && scanner.matchLiteral(ToolContract::PhaseLineEnd) == ScanOk) {
            status = "Upgrading - Erase Phase";
            progress = number;
        } else if (skipPastUnlessMissing(scanner, ToolContract::DownloadPhasePrefix,
                                         downloadMissing)
                       == ScanOk
                   && scanner.readInteger(&number) == ScanOk
                   && scanner.matchLiteral(ToolContract::PhaseLineEnd) == ScanOk) {
            status = "Upgrading - Download Phase";
            progress = number;
        } else if (scanner.skipPast(ToolContract::LeavingDfuModeLine) == ScanOk) {
            status = "Upgrading - Leaving DFU Mode";
            progress = -1;
        } else {
            break;
        }

        setStatus(status, progress);
        consumed += int(scanner.position());
    }
    outputBuffer.remove(0, consumed);

    // Output without progress lines would pile up and be scanned again with every chunk. Its
    // tail is all a line cut off at the end of a chunk needs.
    const int maxUnrecognised = 64 * 1024;
    if (outputBuffer.size() > maxUnrecognised)
        outputBuffer.remove(0, outputBuffer.size() - maxUnrecognised);
}
