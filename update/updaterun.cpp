// One firmware update: checks the file, runs the tool and reports how it ended.
#include "app/mainwindow.h"

#include "app/devicechooser.h"
#include "app/form/mainwindowform.h"
#include "dfusecommand/toolcontract.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QStringList>

// The user's own start is for whichever device the tool finds.
void MainWindow::startUpgrade()
{
    runUpdate(QString());
}

void MainWindow::updateChosenDevice(const QString &port)
{
    runUpdate(port);
}

void MainWindow::runUpdate(const QString &device)
{
    if (updating)
        return;

    if (firmwareFile.isEmpty() || !QFile::exists(firmwareFile)) {
        QMessageBox box;
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle("File doesn't exist");
        box.setText("Can't find firmware file.");
        box.setDetailedText("The firmware file does not seem to exist: \n" + firmwareFile);
        box.exec();
        return;
    }

    updating = true;
    form->detailText->clear();
    appendLog("Update process started. Will send firmware from file: " + firmwareFile);
    form->startUpdateButton->setEnabled(false);
    form->customFirmwareButton->setEnabled(false);
    appendLog("Setting device to DFU Mode");
    chosenDevice = device;
    if (!chosenDevice.isEmpty())
        appendLog("Device chosen: USB port " + chosenDevice);

    // The user's own start is the way out of a pending retry.
    retryPending = false;
    retryTimer.stop();
    startProcess();
}

void MainWindow::startProcess()
{
    if (retryPending) {
        // No automatic relaunch: the user decides when to retry.
        retryTimer.stop();
        return;
    }

    setStatus("Updating - Waiting for device to enter DFU Mode", -1);
    appendLog("Starting update process, Waiting for device to enter DFU Mode");

    process = new QProcess(this);
    connect(process, SIGNAL(readyReadStandardError()), this, SLOT(processReadyReadERR()));
    connect(process, SIGNAL(readyReadStandardOutput()), this, SLOT(processReadyReadSTD()));
    connect(process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
            SLOT(processFinished(int, QProcess::ExitStatus)));
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    connect(process, SIGNAL(error(QProcess::ProcessError)), this,
            SLOT(processError(QProcess::ProcessError)));
#else
    connect(process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
            SLOT(processError(QProcess::ProcessError)));
#endif

    const QString program = QCoreApplication::applicationDirPath() + "/updateTool/DfuSeCommand.exe";
    const QString commandLine
        = "\"" + program + "\"" + " -c -d --o --fn \"" + firmwareFile + "\" -l";
    appendLog("Process command: " + commandLine);

    outputBuffer.clear();
    deviceLines.clear();
    errorOutput.clear();
    if (!chosenDevice.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(ToolContract::DeviceVariable, chosenDevice);
        process->setProcessEnvironment(environment);
    }

    // An argument list, not the logged string: a quote in the path must not split it.
    const QStringList arguments = {"-c", "-d", "--o", "--fn", firmwareFile, "-l"};
    process->start(program, arguments, QIODevice::ReadWrite | QIODevice::Unbuffered);
    // The start may already have failed and released the process: touch nothing here.
}

void MainWindow::processReadyReadERR()
{
    if (!process)
        return;
    const QByteArray bytes = process->readAllStandardError();
    if (bytes.isEmpty())
        return;
    form->detailText->appendPlainText("Process Error Output:\n" + decodeOutput(bytes));

    // Kept for the success box, so that a warning such as an unverified download shows there.
    const int maxErrorOutput = 4096;
    errorOutput.append(bytes);
    if (errorOutput.size() > maxErrorOutput)
        errorOutput.remove(0, errorOutput.size() - maxErrorOutput);
}

void MainWindow::processFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    processReadyReadSTD();
    deviceLines.finish();
    processReadyReadERR();
    endRun();

    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        appendLog("Update Successful");
        setStatus("Update Successful", -2);
        auto *box = new QMessageBox;
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(true);
        box->setText("Update Successful.");
        box->setInformativeText(decodeOutput(errorOutput).trimmed());
        box->show();
        // Inside a close question a close is ignored: close once that question has gone.
        if (closeQuestion)
            QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection);
        else
            close();
    } else {
        QString text;
        if (exitStatus == QProcess::CrashExit)
            text += "The update process crashed.";
        else
            text += "The update process completed but reported an error.";
        text += QString("Error Code: %1").arg(exitCode, 0, 10, QChar(' '));
        if (exitCode == ToolContract::ExitDeviceNotFound && exitStatus == QProcess::NormalExit) {
            text += " - DFU device not found.";
            text += "\nThis can happen if the DFU drivers have not been installed, or is taking to "
                    "long to install, or the USB cable has been uplugged.";
            text += "\nThe device may still be waiting for a firmware update. Make sure the "
                    "drivers are installed and click Retry Update.";
        }
        appendLog(text);
        setStatus("Update Failed - Do not close this window. See log first.", -2);
    }

    offerRetry();

    // The tool updated none of the devices it found: the user says which one is meant. Closed
    // without a choice, the window stays as after any failure.
    if (exitCode == ToolContract::ExitSeveralDevices && exitStatus == QProcess::NormalExit
        && !deviceLines.devices().isEmpty()) {
        auto *chooser = new DeviceChooser(deviceLines.devices(), this);
        chooser->setAttribute(Qt::WA_DeleteOnClose);
        connect(chooser, SIGNAL(deviceChosen(QString)), this, SLOT(updateChosenDevice(QString)));
        chooser->open();
    }
}

void MainWindow::processError(QProcess::ProcessError err)
{
    switch (err) {
    case QProcess::FailedToStart:
        appendLog("Process failed to start");
        if (process)
            appendLog(process->errorString());
        offerRetry();
        break;
    case QProcess::ReadError:
        appendLog("Process read error.");
        break;
    case QProcess::WriteError:
        appendLog("Process write error.");
        break;
    case QProcess::UnknownError:
        appendLog("Process unknown error.");
        break;
    case QProcess::Timedout:
        appendLog("Process timed out.");
        break;
    default:
        // A crash is reported by the finished notification that follows.
        break;
    }
    // Releasing a process that still runs would kill the tool in the middle of a download: its
    // finished notification ends the run instead. A crash is reported while the process still
    // counts as running, but it is over.
    if (err != QProcess::Crashed && process && process->state() != QProcess::NotRunning)
        return;
    setStatus("Update failed", -2);
    endRun();
    retryPending = true;
    retryTimer.start();
}

// The process object goes once its notification has returned; an open close question has
// nothing left to guard.
void MainWindow::endRun()
{
    if (process)
        process->deleteLater();
    process = nullptr;
    updating = false;
    if (closeQuestion)
        closeQuestion->reject();
}

// No dead end: after a failure the user may retry at once or choose another file.
void MainWindow::offerRetry()
{
    form->startUpdateButton->setEnabled(true);
    form->startUpdateButton->setText("Retry Update");
    form->customFirmwareButton->setEnabled(true);
}
