// Test access to MainWindow's private state.
#ifndef MAINWINDOWPROBE_H
#define MAINWINDOWPROBE_H

#include "app/form/mainwindowform.h"
#include "app/mainwindow.h"

#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QStringList>

class MainWindowProbe
{
public:
    static MainWindowForm *form(MainWindow &w) { return w.form; }
    static QString &firmwareFile(MainWindow &w) { return w.firmwareFile; }
    static bool detailsVisible(MainWindow &w) { return w.detailsVisible; }
    static QProcess *process(MainWindow &w) { return w.process; }
    static QTimer &retryTimer(MainWindow &w) { return w.retryTimer; }
    static QByteArray &outputBuffer(MainWindow &w) { return w.outputBuffer; }
    static bool &retryPending(MainWindow &w) { return w.retryPending; }
    static bool &updating(MainWindow &w) { return w.updating; }
    static void feedOutput(MainWindow &w, const QByteArray &chunk) { w.scanOutput(chunk); }

    // The log split into its entries: timestamps and the line break that closes each
    // timestamped entry removed; standard-error entries, which have neither, kept whole.
    static QStringList logEntries(MainWindow &w)
    {
        static const QRegularExpression stamp(
            "^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]?[0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}: ");
        static const QRegularExpression start(
            "\\n(?=[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]?[0-9] [0-9:]{8} [0-9]{4}: "
            "|Process Error Output:\\n)");
        const QString text = w.form->detailText->toPlainText();
        QStringList entries;
        if (text.isEmpty())
            return entries;
        for (QString entry : text.split(start)) {
            const QRegularExpressionMatch m = stamp.match(entry);
            if (m.hasMatch()) {
                entry.remove(0, m.capturedLength());
                if (entry.endsWith('\n'))
                    entry.chop(1);
            }
            entries << entry;
        }
        return entries;
    }
};

#endif // MAINWINDOWPROBE_H
