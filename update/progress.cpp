// Turns the update tool's standard output into status and progress.
#include "app/mainwindow.h"

#include "scan/textscanner.h"

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
    outputBuffer.append(chunk);

    for (;;) {
        TextScanner scanner;
        scanner.init(outputBuffer.constData(), std::uint32_t(outputBuffer.size()));
        std::int32_t number = 0;
        QString status;
        int progress = -1;

        if (scanner.skipPast("Upgrading - Erase Phase (") == ScanOk
            && scanner.readInteger(&number) == ScanOk && scanner.matchLiteral(")") == ScanOk) {
            status = "Upgrading - Erase Phase";
            progress = number;
        } else if (scanner.skipPast("Upgrading - Download Phase (") == ScanOk
                   && scanner.readInteger(&number) == ScanOk
                   && scanner.matchLiteral(")") == ScanOk) {
            status = "Upgrading - Download Phase";
            progress = number;
        } else if (scanner.skipPast("Leaving DFU Mode...") == ScanOk) {
            status = "Upgrading - Leaving DFU Mode";
            progress = -1;
        } else {
            return;
        }

        setStatus(status, progress);
        outputBuffer.remove(0, int(scanner.position()));
    }
}
