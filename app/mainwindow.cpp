// The window's life, its status line and log, and the user's commands.
#include "app/mainwindow.h"

#include "app/form/mainwindowform.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , form(new MainWindowForm)
{
    form->setupForm(this);

    connect(form->customFirmwareButton, SIGNAL(clicked(bool)), this, SLOT(browseCustomFirmware()));
    connect(form->showDetailsButton, SIGNAL(clicked(bool)), this, SLOT(detailToggle()));
    connect(form->startUpdateButton, SIGNAL(clicked(bool)), this, SLOT(startUpgrade()));
    connect(form->actionAbout_Brindleflash, SIGNAL(triggered()), this, SLOT(ShowAbout()));
    connect(form->actionAbut_Qt, SIGNAL(triggered()), this, SLOT(ShowAboutQt()));

    form->detailText->hide();

    detailsVisible = false;
    process = nullptr;
    retryPending = false;
    updating = false;
    closeQuestion = nullptr;

    retryTimer.setSingleShot(false);
    retryTimer.setInterval(1000);
    connect(&retryTimer, SIGNAL(timeout()), this, SLOT(startProcess()));

    setStatus("Ready", -2);
}

MainWindow::~MainWindow()
{
    if (process) {
        // No process slot may run while the window is being torn down.
        process->disconnect();
        process->kill();
    }
    delete form;
}

void MainWindow::setStatus(QString text, int progress)
{
    form->statusLabel->setText("Status: " + text);
    if (progress >= 0) {
        form->progressBar->setEnabled(true);
        form->progressBar->setRange(0, 100);
        form->progressBar->setValue(progress);
    } else if (progress == -1) {
        form->progressBar->setEnabled(true);
        form->progressBar->setRange(0, 0);
    } else {
        form->progressBar->setEnabled(false);
        form->progressBar->setValue(0);
        form->progressBar->setRange(0, 100);
    }
}

void MainWindow::appendLog(QString text)
{
    const QString time = QDateTime::currentDateTime().toString(Qt::TextDate);
    form->detailText->appendPlainText(time + ": " + text + "\n");
}

void MainWindow::detailToggle()
{
    if (detailsVisible) {
        detailsVisible = false;
        form->detailText->hide();
    } else {
        detailsVisible = true;
        form->detailText->show();
    }
}

void MainWindow::browseCustomFirmware()
{
    firmwareFile = QFileDialog::getOpenFileName(this, "Firmware File", firmwareFile,
                                                "Firmware Files (*.dfu)");
    form->firmwareFileLabel->setText("Firmware File: " + firmwareFile);
    form->firmwareFileLabel->setToolTip(firmwareFile);
}

void MainWindow::ShowAbout()
{
    const QString text = QString("Brindleflash Version %1.%2.%3\nQuendrix").arg(1).arg(0).arg(0);
    QMessageBox::about(this, "About Kelv", text);
}

void MainWindow::ShowAboutQt()
{
    QMessageBox::aboutQt(this, "About Qt");
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!updating) {
        event->accept();
        return;
    }

    // Interrupting a download can leave the device without working firmware: ask twice.
    QMessageBox box(this);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle("Firmware Upgrade in Progress");
    box.setText("DEVICE MAY BE BROKEN if you interrupt a firmware update.");
    box.setInformativeText("Are you sure you want to interrupt the update?");
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    // The end of the run withdraws the question and drops this request: nothing is left to stop.
    closeQuestion = &box;
    bool interrupt = box.exec() == QMessageBox::Yes && updating;
    if (interrupt) {
        box.setText("YOU MAY BRICK THE DEVICE if you interrupt a firmware update.");
        box.setInformativeText("Are you REALLY sure you want to interrupt the update?");
        interrupt = box.exec() == QMessageBox::Yes && updating;
    }
    closeQuestion = nullptr;
    event->setAccepted(interrupt);
}
