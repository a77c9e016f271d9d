// Test access to MainWindow's private state.
#ifndef MAINWINDOWPROBE_H
#define MAINWINDOWPROBE_H

#include "app/form/mainwindowform.h"
#include "app/mainwindow.h"

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
};

#endif // MAINWINDOWPROBE_H
