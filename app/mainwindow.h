// The main window: owns the form, the chosen file and the running update tool.
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "update/devicelinereader.h"

#include <QByteArray>
#include <QMainWindow>
#include <QProcess>
#include <QString>
#include <QTimer>

class MainWindowForm;
class QCloseEvent;
class QMessageBox;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void setStatus(QString text, int progress);
    void appendLog(QString text);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void detailToggle();
    void browseCustomFirmware();
    void startUpgrade();
    void startProcess();
    void processFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void processError(QProcess::ProcessError err);
    void processReadyReadSTD();
    void processReadyReadERR();
    void updateChosenDevice(const QString &port);
    void ShowAbout();
    void ShowAboutQt();

private:
    void runUpdate(const QString &device);
    void scanOutput(const QByteArray &chunk);
    void endRun();
    void offerRetry();
    static QString decodeOutput(const QByteArray &bytes);

    // Tests reach the private state through this one friend.
    friend class MainWindowProbe;

    MainWindowForm *form;
    QString firmwareFile;
    bool detailsVisible;
    QProcess *process;
    QTimer retryTimer;
    QByteArray outputBuffer;
    DeviceLineReader deviceLines;
    // The port path of the one device the current run is for; empty: whichever the tool finds.
    QString chosenDevice;
    bool retryPending;
    bool updating;
    QByteArray errorOutput;
    QMessageBox *closeQuestion;
};

#endif // MAINWINDOW_H
