// The main window's widget tree and its texts.
#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

class QAction;
class QHBoxLayout;
class QLabel;
class QMainWindow;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

class MainWindowForm
{
public:
    QAction *actionAbout_Brindleflash;
    QAction *actionAbut_Qt;
    QWidget *centralwidget;
    QVBoxLayout *verticalLayout_2;
    QVBoxLayout *verticalLayout;
    QLabel *firmwareFileLabel;
    QWidget *widget;
    QHBoxLayout *horizontalLayout_3;
    QPushButton *customFirmwareButton;
    QSpacerItem *horizontalSpacer;
    QLabel *statusLabel;
    QProgressBar *progressBar;
    QSpacerItem *verticalSpacer;
    QWidget *widget_2;
    QHBoxLayout *horizontalLayout;
    QPushButton *startUpdateButton;
    QPushButton *showDetailsButton;
    QPlainTextEdit *detailText;
    QMenuBar *menuBar;
    QMenu *menuAbout;

    void setupForm(QMainWindow *window);
    void applyFormTexts(QMainWindow *window);
};

#endif // MAINWINDOWFORM_H
