// The user's commands: choosing the file, the log toggle, the About boxes and the close guard.
#include "tests/mainwindowprobe.h"
#include "modalanswerer.h"

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class tst_WindowCommands : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void chooseFile();
    void detailToggle();
    void about_data();
    void about();
    void closeGuard_data();
    void closeGuard();
    void closeAsksAgain();
    void closeWhenIdle();
};

void tst_WindowCommands::cleanup()
{
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_WindowCommands::chooseFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Far wider than the screen, let alone the window.
    const QString path = dir.filePath("new firmware " + QString(200, 'x') + ".dfu");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    MainWindow window;
    window.show();
    MainWindowForm *f = MainWindowProbe::form(window);

    QStringList filters;
    ModalAnswerer answerer;
    answerer.add([&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        QVERIFY(dialog);
        filters = dialog->nameFilters();
        // A focused file name field keeps its text, and before the folder has been read nothing
        // else takes the selection: the dialog would stay open.
        if (QWidget *focused = dialog->focusWidget())
            focused->clearFocus();
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    f->customFirmwareButton->click();
    QVERIFY(answerer.idle());
    QCOMPARE(answerer.seen().first().title, QString("Firmware File"));
    QCOMPARE(filters, QStringList("Firmware Files (*.dfu)"));
    QCOMPARE(MainWindowProbe::firmwareFile(window), path);
    QCOMPARE(f->firmwareFileLabel->text(), "Firmware File: " + path);
    QCOMPARE(f->firmwareFileLabel->toolTip(), path);
    // The layouts settle one level per round: the label's, then the window's.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCOMPARE(window.width(), 450);

    // Reopening starts at the chosen file; cancelling forgets it.
    QString startDir;
    QStringList preselected;
    answerer.add([&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        QVERIFY(dialog);
        startDir = dialog->directory().absolutePath();
        preselected = dialog->selectedFiles();
        dialog->reject();
    });
    f->customFirmwareButton->click();
    QVERIFY(answerer.idle());
    QCOMPARE(startDir, QFileInfo(path).absolutePath());
    QCOMPARE(preselected, QStringList(path));
    QVERIFY(MainWindowProbe::firmwareFile(window).isEmpty());
    QCOMPARE(f->firmwareFileLabel->text(), QString("Firmware File: "));
    QVERIFY(f->firmwareFileLabel->toolTip().isEmpty());
}

void tst_WindowCommands::detailToggle()
{
    MainWindow window;
    window.show();
    MainWindowForm *f = MainWindowProbe::form(window);
    window.appendLog("written while hidden");

    QTest::mouseClick(f->showDetailsButton, Qt::LeftButton);
    QVERIFY(f->detailText->isVisible());
    QVERIFY(f->showDetailsButton->isChecked());
    QVERIFY(f->detailText->toPlainText().contains("written while hidden"));

    QTest::mouseClick(f->showDetailsButton, Qt::LeftButton);
    QVERIFY(f->detailText->isHidden());
    QVERIFY(!f->showDetailsButton->isChecked());
    QCOMPARE(f->showDetailsButton->text(), QString("Show Details"));
}

void tst_WindowCommands::about_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    QTest::newRow("program") << "actionAbout_Brindleflash"
                             << "About Kelv"
                             << "Brindleflash Version 1.0.0\nQuendrix";
    QTest::newRow("toolkit") << "actionAbut_Qt"
                             << "About Qt" << QString();
}

void tst_WindowCommands::about()
{
    QFETCH(QString, action);
    QFETCH(QString, title);
    QFETCH(QString, text);

    MainWindow window;
    window.show();
    QWidget *parent = nullptr;
    ModalAnswerer answerer;
    answerer.add([&](QWidget *w) {
        parent = w->parentWidget();
        qobject_cast<QDialog *>(w)->accept();
    });
    window.findChild<QAction *>(action)->trigger();
    QVERIFY(answerer.idle());
    QCOMPARE(answerer.seen().first().title, title);
    if (!text.isNull())
        QCOMPARE(answerer.seen().first().text, text);
    QCOMPARE(parent, &window);
}

void tst_WindowCommands::closeGuard_data()
{
    QTest::addColumn<int>("answers");
    QTest::addColumn<bool>("closed");

    // Answers, one digit per question: 1 Yes, 2 Cancel, 3 Escape; 4 and 5 answer nothing, the
    // run ends meanwhile, in failure (4) or success (5).
    QTest::newRow("cancel") << 2 << false;
    QTest::newRow("escape") << 3 << false;
    QTest::newRow("yes, cancel") << 12 << false;
    QTest::newRow("yes, escape") << 13 << false;
    QTest::newRow("yes, yes") << 11 << true;
    QTest::newRow("run fails") << 4 << false;
    QTest::newRow("yes, run fails") << 14 << false;
    QTest::newRow("run succeeds") << 5 << false;
}

void tst_WindowCommands::closeGuard()
{
    QFETCH(int, answers);
    QFETCH(bool, closed);

    MainWindow window;
    window.show();
    MainWindowProbe::updating(window) = true;

    ModalAnswerer answerer;
    const QString digits = QString::number(answers);
    bool leftOpen = false;
    for (QChar digit : digits) {
        if (digit == '1') {
            answerer.add(ModalAnswerer::press(QMessageBox::Yes));
        } else if (digit == '2') {
            answerer.add(ModalAnswerer::press(QMessageBox::Cancel));
        } else if (digit == '3') {
            answerer.add(ModalAnswerer::escape());
        } else {
            const int code = digit == '4' ? 4 : 0;
            answerer.add([&window, &leftOpen, code](QWidget *question) {
                QMetaObject::invokeMethod(&window, "processFinished", Q_ARG(int, code),
                                          Q_ARG(QProcess::ExitStatus, QProcess::NormalExit));
                // A question still open would wait forever: answer it.
                leftOpen = question->isVisible();
                if (leftOpen)
                    qobject_cast<QDialog *>(question)->reject();
            });
        }
    }

    QCOMPARE(window.close(), closed);
    QVERIFY(!leftOpen);
    QVERIFY(answerer.idle());
    // After a success the window closes itself, as always.
    const bool succeeded = digits.endsWith('5');
    QTRY_COMPARE(window.isVisible(), !closed && !succeeded);
    QCOMPARE(answerer.seen().size(), digits.size());

    const ModalSnapshot first = answerer.seen().at(0);
    QCOMPARE(first.title, QString("Firmware Upgrade in Progress"));
    QCOMPARE(first.text, QString("DEVICE MAY BE BROKEN if you interrupt a firmware update."));
    QCOMPARE(first.informativeText, QString("Are you sure you want to interrupt the update?"));
    QCOMPARE(first.icon, QMessageBox::Warning);
    QCOMPARE(first.buttons, QMessageBox::Yes | QMessageBox::Cancel);
    QCOMPARE(first.defaultButton, QMessageBox::Cancel);
    if (digits.size() > 1) {
        const ModalSnapshot second = answerer.seen().at(1);
        QCOMPARE(second.title, first.title);
        QCOMPARE(second.text,
                 QString("YOU MAY BRICK THE DEVICE if you interrupt a firmware update."));
        QCOMPARE(second.informativeText,
                 QString("Are you REALLY sure you want to interrupt the update?"));
        QCOMPARE(second.icon, QMessageBox::Warning);
        QCOMPARE(second.buttons, first.buttons);
        QCOMPARE(second.defaultButton, QMessageBox::Cancel);
    }
    if (succeeded) {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QVERIFY(box);
        QCOMPARE(box->text(), QString("Update Successful."));
        box->close();
    }
    MainWindowProbe::updating(window) = false;
}

void tst_WindowCommands::closeAsksAgain()
{
    MainWindow window;
    window.show();
    MainWindowProbe::updating(window) = true;

    ModalAnswerer answerer;
    answerer.add(ModalAnswerer::press(QMessageBox::Yes));
    answerer.add(ModalAnswerer::press(QMessageBox::Cancel));
    answerer.add(ModalAnswerer::press(QMessageBox::Cancel));
    QVERIFY(!window.close());
    QVERIFY(!window.close());
    QCOMPARE(answerer.seen().size(), 3);
    QCOMPARE(answerer.seen().at(2).text, answerer.seen().at(0).text);
    MainWindowProbe::updating(window) = false;
}

void tst_WindowCommands::closeWhenIdle()
{
    MainWindow window;
    window.show();
    ModalAnswerer answerer;
    answerer.add(ModalAnswerer::press(QMessageBox::Cancel));
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    QVERIFY(answerer.seen().isEmpty());
}

QTEST_MAIN(tst_WindowCommands)
#include "tst_windowcommands.moc"
