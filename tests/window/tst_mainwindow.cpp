// The window as built: widget tree, texts, start state, status line and log.
#include "tests/mainwindowprobe.h"

#include <QAction>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QtTest>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void objectNames_data();
    void objectNames();
    void objectName();
    void layoutOrder();
    void texts_data();
    void texts();
    void widgetSettings();
    void menu();
    void startState();
    void slotTable();
    void setStatus_data();
    void setStatus();
    void appendLog_data();
    void appendLog();
};

void tst_MainWindow::cleanup()
{
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty());
}

void tst_MainWindow::objectNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");

    QTest::newRow("actionAbout_Brindleflash") << "actionAbout_Brindleflash"
                                              << "QAction"
                                              << "MainWindow";
    QTest::newRow("actionAbut_Qt") << "actionAbut_Qt"
                                   << "QAction"
                                   << "MainWindow";
    QTest::newRow("centralwidget") << "centralwidget"
                                   << "QWidget"
                                   << "MainWindow";
    QTest::newRow("verticalLayout_2") << "verticalLayout_2"
                                      << "QVBoxLayout"
                                      << "centralwidget";
    QTest::newRow("verticalLayout") << "verticalLayout"
                                    << "QVBoxLayout"
                                    << "verticalLayout_2";
    QTest::newRow("firmwareFileLabel") << "firmwareFileLabel"
                                       << "QLabel"
                                       << "centralwidget";
    QTest::newRow("widget") << "widget"
                            << "QWidget"
                            << "centralwidget";
    QTest::newRow("horizontalLayout_3") << "horizontalLayout_3"
                                        << "QHBoxLayout"
                                        << "widget";
    QTest::newRow("customFirmwareButton") << "customFirmwareButton"
                                          << "QPushButton"
                                          << "widget";
    QTest::newRow("statusLabel") << "statusLabel"
                                 << "QLabel"
                                 << "centralwidget";
    QTest::newRow("progressBar") << "progressBar"
                                 << "QProgressBar"
                                 << "centralwidget";
    QTest::newRow("widget_2") << "widget_2"
                              << "QWidget"
                              << "centralwidget";
    QTest::newRow("horizontalLayout") << "horizontalLayout"
                                      << "QHBoxLayout"
                                      << "widget_2";
    QTest::newRow("startUpdateButton") << "startUpdateButton"
                                       << "QPushButton"
                                       << "widget_2";
    QTest::newRow("showDetailsButton") << "showDetailsButton"
                                       << "QPushButton"
                                       << "widget_2";
    QTest::newRow("detailText") << "detailText"
                                << "QPlainTextEdit"
                                << "centralwidget";
    QTest::newRow("menuBar") << "menuBar"
                             << "QMenuBar"
                             << "MainWindow";
    QTest::newRow("menuAbout") << "menuAbout"
                               << "QMenu"
                               << "menuBar";
}

void tst_MainWindow::objectNames()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);

    MainWindow window;
    const QList<QObject *> found = window.findChildren<QObject *>(name);
    QCOMPARE(found.size(), 1);
    QCOMPARE(QString(found.first()->metaObject()->className()), className);
    QVERIFY(found.first()->parent());
    QCOMPARE(found.first()->parent()->objectName(), parentName);
}

void tst_MainWindow::objectName()
{
    MainWindow unnamed;
    QCOMPARE(unnamed.objectName(), QString("MainWindow"));
    QCOMPARE(unnamed.metaObject()->className(), "MainWindow");

    // A name given before the form is built must survive it.
    MainWindow named;
    named.setObjectName("kept");
    MainWindowProbe::form(named)->setupForm(&named);
    QCOMPARE(named.objectName(), QString("kept"));
}

static QList<void *> layoutItems(QLayout *layout)
{
    QList<void *> items;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget())
            items << item->widget();
        else if (item->layout())
            items << item->layout();
        else
            items << item->spacerItem();
    }
    return items;
}

void tst_MainWindow::layoutOrder()
{
    MainWindow window;
    MainWindowForm *f = MainWindowProbe::form(window);

    QCOMPARE(layoutItems(f->verticalLayout_2), QList<void *>({f->verticalLayout}));
    QCOMPARE(layoutItems(f->verticalLayout),
             QList<void *>({f->firmwareFileLabel, f->widget, f->statusLabel, f->progressBar,
                            f->verticalSpacer, f->widget_2, f->detailText}));
    QCOMPARE(layoutItems(f->horizontalLayout_3),
             QList<void *>({f->customFirmwareButton, f->horizontalSpacer}));
    QCOMPARE(layoutItems(f->horizontalLayout),
             QList<void *>({f->startUpdateButton, f->showDetailsButton}));
    QCOMPARE(window.centralWidget(), f->centralwidget);
    QCOMPARE(window.menuBar(), f->menuBar);
    QCOMPARE(f->centralwidget->layout(), f->verticalLayout_2);

    QCOMPARE(f->horizontalSpacer->sizeHint(), QSize(40, 20));
    QCOMPARE(f->horizontalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(f->horizontalSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(f->verticalSpacer->sizeHint(), QSize(0, 0));
    QCOMPARE(f->verticalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(f->verticalSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(f->horizontalLayout_3->contentsMargins().left(), 0);
    QCOMPARE(f->horizontalLayout_3->contentsMargins().top(), 0);
    QCOMPARE(f->horizontalLayout_3->contentsMargins().right(), 0);
}

void tst_MainWindow::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("window") << ""
                            << "Brindleflash - Device Firmware Updater";
    QTest::newRow("about action") << "actionAbout_Brindleflash"
                                  << "About Brindleflash...";
    QTest::newRow("about qt action") << "actionAbut_Qt"
                                     << "About Qt...";
    QTest::newRow("file label") << "firmwareFileLabel"
                                << "Firmware File:";
    QTest::newRow("browse") << "customFirmwareButton"
                            << "Browse firmware files...";
    QTest::newRow("start") << "startUpdateButton"
                           << "Start Update";
    QTest::newRow("details") << "showDetailsButton"
                             << "Show Details";
    QTest::newRow("menu") << "menuAbout"
                          << "About";
}

void tst_MainWindow::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);

    MainWindow window;
    QObject *object = name.isEmpty() ? &window : window.findChild<QObject *>(name);
    QVERIFY(object);
    QString actual;
    if (object == &window)
        actual = window.windowTitle();
    else if (auto *menu = qobject_cast<QMenu *>(object))
        actual = menu->title();
    else
        actual = object->property("text").toString();
    QCOMPARE(actual, text);
}

void tst_MainWindow::widgetSettings()
{
    MainWindow window;
    MainWindowForm *f = MainWindowProbe::form(window);

    QCOMPARE(window.size(), QSize(450, 346));

    for (QWidget *w : {static_cast<QWidget *>(f->firmwareFileLabel), f->widget,
                       static_cast<QWidget *>(f->statusLabel), f->widget_2}) {
        const QSizePolicy policy = w->sizePolicy();
        QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(policy.verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(policy.controlType(), QSizePolicy::DefaultType);
        QCOMPARE(policy.horizontalStretch(), 0);
        QCOMPARE(policy.verticalStretch(), 0);
    }
    // The labels are word-wrap free, so none of them asks for height-for-width.
    QVERIFY(!f->statusLabel->sizePolicy().hasHeightForWidth());

    const QSizePolicy logPolicy = f->detailText->sizePolicy();
    QCOMPARE(logPolicy.horizontalPolicy(), QSizePolicy::MinimumExpanding);
    QCOMPARE(logPolicy.verticalPolicy(), QSizePolicy::MinimumExpanding);
    QCOMPARE(f->detailText->minimumSize(), QSize(100, 100));
    QCOMPARE(f->detailText->font().family(), QString("Lucida Console"));
    QCOMPARE(f->detailText->lineWrapMode(), QPlainTextEdit::NoWrap);
    QVERIFY(f->detailText->isReadOnly());

    QCOMPARE(f->customFirmwareButton->minimumSize(), QSize(150, 0));
    QVERIFY(f->showDetailsButton->isCheckable());
    QVERIFY(!f->showDetailsButton->isChecked());
    QVERIFY(!f->startUpdateButton->isCheckable());

    QCOMPARE(int(f->progressBar->alignment()), 0x81);
    QVERIFY(f->progressBar->isTextVisible());
    QCOMPARE(f->progressBar->textDirection(), QProgressBar::TopToBottom);
    QVERIFY(f->progressBar->toolTip().isEmpty());
}

void tst_MainWindow::menu()
{
    MainWindow window;
    MainWindowForm *f = MainWindowProbe::form(window);

    const QList<QAction *> barActions = f->menuBar->actions();
    QCOMPARE(barActions.size(), 1);
    QCOMPARE(barActions.first()->menu(), f->menuAbout);
    QCOMPARE(f->menuAbout->actions(),
             QList<QAction *>({f->actionAbout_Brindleflash, f->actionAbut_Qt}));
}

void tst_MainWindow::startState()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MainWindowForm *f = MainWindowProbe::form(window);

    QCOMPARE(f->statusLabel->text(), QString("Status: Ready"));
    QVERIFY(!f->progressBar->isEnabled());
    QCOMPARE(f->progressBar->value(), 0);
    QCOMPARE(f->progressBar->minimum(), 0);
    QCOMPARE(f->progressBar->maximum(), 100);
    QVERIFY(f->detailText->isHidden());
    QVERIFY(!MainWindowProbe::detailsVisible(window));
    QVERIFY(!MainWindowProbe::process(window));
    QVERIFY(!MainWindowProbe::updating(window));
    QVERIFY(!MainWindowProbe::retryPending(window));
    QVERIFY(MainWindowProbe::firmwareFile(window).isEmpty());
    QVERIFY(MainWindowProbe::outputBuffer(window).isEmpty());

    QTimer &timer = MainWindowProbe::retryTimer(window);
    QVERIFY(!timer.isActive());
    QVERIFY(!timer.isSingleShot());
    QCOMPARE(timer.interval(), 1000);
    QVERIFY(!timer.parent());

    // Shown, the log takes any extra height and the spacer none.
    f->detailText->show();
    window.resize(450, 700);
    QTRY_VERIFY(f->detailText->height() > 300);
    QCOMPARE(f->verticalSpacer->geometry().height(), 0);
    QCOMPARE(f->widget_2->geometry().bottom() + 1 + f->verticalLayout->spacing(),
             f->detailText->y());
}

void tst_MainWindow::slotTable()
{
    const QStringList expected = {
        "detailToggle()",
        "browseCustomFirmware()",
        "startUpgrade()",
        "startProcess()",
        "processFinished(int,QProcess::ExitStatus)",
        "processError(QProcess::ProcessError)",
        "processReadyReadSTD()",
        "processReadyReadERR()",
        "updateChosenDevice(QString)",
        "ShowAbout()",
        "ShowAboutQt()",
    };
    const QMetaObject &mo = MainWindow::staticMetaObject;
    QStringList signatures;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod method = mo.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        QCOMPARE(method.returnType(), int(QMetaType::Void));
        signatures << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(signatures, expected);
}

void tst_MainWindow::setStatus_data()
{
    QTest::addColumn<int>("progress");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");

    // Each row starts from a bar showing 40 percent.
    QTest::newRow("full") << 100 << true << 0 << 100 << 100;
    QTest::newRow("empty") << 0 << true << 0 << 100 << 0;
    // The bar resets itself when its range shrinks to 0..0.
    QTest::newRow("busy") << -1 << true << 0 << 0 << -1;
    QTest::newRow("idle") << -2 << false << 0 << 100 << 0;
    QTest::newRow("other negative") << -7 << false << 0 << 100 << 0;
    QTest::newRow("above range") << 101 << true << 0 << 100 << 40;
}

void tst_MainWindow::setStatus()
{
    QFETCH(int, progress);
    QFETCH(bool, enabled);
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, value);

    MainWindow window;
    MainWindowForm *f = MainWindowProbe::form(window);
    window.setStatus("Before", 40);
    window.setStatus("Erasing", progress);

    QCOMPARE(f->statusLabel->text(), QString("Status: Erasing"));
    QCOMPARE(f->progressBar->isEnabled(), enabled);
    QCOMPARE(f->progressBar->minimum(), minimum);
    QCOMPARE(f->progressBar->maximum(), maximum);
    QCOMPARE(f->progressBar->value(), value);
}

void tst_MainWindow::appendLog_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("one line") << "Setting device to DFU Mode";
    QTest::newRow("several lines") << "Process Output:\nfirst\r\nsecond";
    QTest::newRow("empty") << "";
}

void tst_MainWindow::appendLog()
{
    QFETCH(QString, text);

    MainWindow window;
    QPlainTextEdit *log = MainWindowProbe::form(window)->detailText;
    window.appendLog("earlier");
    const QString before = log->toPlainText();

    const QDateTime start = QDateTime::currentDateTime();
    window.appendLog(text);
    const QDateTime end = QDateTime::currentDateTime();

    const QString added = log->toPlainText().mid(before.size());
    QVERIFY(added.startsWith('\n'));
    const QString entry = added.mid(1);
    const int separator = entry.indexOf(": ");
    QVERIFY(separator > 0);
    const QString stamp = entry.left(separator);
    QVERIFY(stamp == start.toString(Qt::TextDate) || stamp == end.toString(Qt::TextDate));
    QVERIFY(!stamp.contains('\n'));
    // The view breaks lines itself, so a CR LF in the text shows as a paragraph break.
    QString expected = text;
    expected.replace("\r\n", "\n");
    QCOMPARE(entry.mid(separator + 2), expected + "\n");
    QCOMPARE(log->blockCount(), 3 + expected.count('\n') + 1);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
