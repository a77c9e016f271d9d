// Built by hand in the order a form compiler would use, so that item order and focus order match.
#include "app/form/mainwindowform.h"

#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSizePolicy>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

void MainWindowForm::setupForm(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QString::fromUtf8("MainWindow"));
    window->resize(450, 346);

    actionAbout_Brindleflash = new QAction(window);
    actionAbout_Brindleflash->setObjectName(QString::fromUtf8("actionAbout_Brindleflash"));
    actionAbut_Qt = new QAction(window);
    actionAbut_Qt->setObjectName(QString::fromUtf8("actionAbut_Qt"));

    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QString::fromUtf8("centralwidget"));
    verticalLayout_2 = new QVBoxLayout(centralwidget);
    verticalLayout_2->setObjectName(QString::fromUtf8("verticalLayout_2"));
    verticalLayout = new QVBoxLayout();
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));

    firmwareFileLabel = new QLabel(centralwidget);
    firmwareFileLabel->setObjectName(QString::fromUtf8("firmwareFileLabel"));
    QSizePolicy sizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    sizePolicy.setHorizontalStretch(0);
    sizePolicy.setVerticalStretch(0);
    sizePolicy.setHeightForWidth(firmwareFileLabel->sizePolicy().hasHeightForWidth());
    firmwareFileLabel->setSizePolicy(sizePolicy);
    // A long path must not widen the window: the label may clip it, its tooltip shows it whole.
    firmwareFileLabel->setMinimumWidth(1);
    verticalLayout->addWidget(firmwareFileLabel);

    widget = new QWidget(centralwidget);
    widget->setObjectName(QString::fromUtf8("widget"));
    sizePolicy.setHeightForWidth(widget->sizePolicy().hasHeightForWidth());
    widget->setSizePolicy(sizePolicy);
    horizontalLayout_3 = new QHBoxLayout(widget);
    horizontalLayout_3->setObjectName(QString::fromUtf8("horizontalLayout_3"));
    horizontalLayout_3->setContentsMargins(0, 0, 0, -1);
    customFirmwareButton = new QPushButton(widget);
    customFirmwareButton->setObjectName(QString::fromUtf8("customFirmwareButton"));
    customFirmwareButton->setMinimumSize(QSize(150, 0));
    horizontalLayout_3->addWidget(customFirmwareButton);
    horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    horizontalLayout_3->addItem(horizontalSpacer);
    verticalLayout->addWidget(widget);

    statusLabel = new QLabel(centralwidget);
    statusLabel->setObjectName(QString::fromUtf8("statusLabel"));
    sizePolicy.setHeightForWidth(statusLabel->sizePolicy().hasHeightForWidth());
    statusLabel->setSizePolicy(sizePolicy);
    verticalLayout->addWidget(statusLabel);

    progressBar = new QProgressBar(centralwidget);
    progressBar->setObjectName(QString::fromUtf8("progressBar"));
    progressBar->setValue(75);
    progressBar->setAlignment(Qt::AlignLeading | Qt::AlignLeft | Qt::AlignVCenter);
    progressBar->setTextVisible(true);
    progressBar->setTextDirection(QProgressBar::TopToBottom);
    verticalLayout->addWidget(progressBar);

    verticalSpacer = new QSpacerItem(0, 0, QSizePolicy::Minimum, QSizePolicy::Minimum);
    verticalLayout->addItem(verticalSpacer);

    widget_2 = new QWidget(centralwidget);
    widget_2->setObjectName(QString::fromUtf8("widget_2"));
    sizePolicy.setHeightForWidth(widget_2->sizePolicy().hasHeightForWidth());
    widget_2->setSizePolicy(sizePolicy);
    horizontalLayout = new QHBoxLayout(widget_2);
    horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
    startUpdateButton = new QPushButton(widget_2);
    startUpdateButton->setObjectName(QString::fromUtf8("startUpdateButton"));
    horizontalLayout->addWidget(startUpdateButton);
    showDetailsButton = new QPushButton(widget_2);
    showDetailsButton->setObjectName(QString::fromUtf8("showDetailsButton"));
    showDetailsButton->setCheckable(true);
    horizontalLayout->addWidget(showDetailsButton);
    verticalLayout->addWidget(widget_2);

    detailText = new QPlainTextEdit(centralwidget);
    detailText->setObjectName(QString::fromUtf8("detailText"));
    QSizePolicy sizePolicy1(QSizePolicy::MinimumExpanding, QSizePolicy::MinimumExpanding);
    sizePolicy1.setHorizontalStretch(0);
    sizePolicy1.setVerticalStretch(0);
    sizePolicy1.setHeightForWidth(detailText->sizePolicy().hasHeightForWidth());
    detailText->setSizePolicy(sizePolicy1);
    detailText->setMinimumSize(QSize(100, 100));
    QFont font;
    font.setFamily(QString::fromUtf8("Lucida Console"));
    detailText->setFont(font);
    detailText->setLineWrapMode(QPlainTextEdit::NoWrap);
    detailText->setReadOnly(true);
    verticalLayout->addWidget(detailText);

    verticalLayout_2->addLayout(verticalLayout);

    window->setCentralWidget(centralwidget);

    menuBar = new QMenuBar(window);
    menuBar->setObjectName(QString::fromUtf8("menuBar"));
    menuBar->setGeometry(QRect(0, 0, 450, 21));
    menuAbout = new QMenu(menuBar);
    menuAbout->setObjectName(QString::fromUtf8("menuAbout"));
    window->setMenuBar(menuBar);
    menuBar->addAction(menuAbout->menuAction());
    menuAbout->addAction(actionAbout_Brindleflash);
    menuAbout->addAction(actionAbut_Qt);

    applyFormTexts(window);

    QMetaObject::connectSlotsByName(window);
}

void MainWindowForm::applyFormTexts(QMainWindow *window)
{
    window->setWindowTitle(QCoreApplication::translate(
        "MainWindow", "Brindleflash - Device Firmware Updater", nullptr));
    actionAbout_Brindleflash->setText(
        QCoreApplication::translate("MainWindow", "About Brindleflash...", nullptr));
    actionAbut_Qt->setText(QCoreApplication::translate("MainWindow", "About Qt...", nullptr));
    firmwareFileLabel->setText(
        QCoreApplication::translate("MainWindow", "Firmware File:", nullptr));
    customFirmwareButton->setText(
        QCoreApplication::translate("MainWindow", "Browse firmware files...", nullptr));
    statusLabel->setText(QCoreApplication::translate("MainWindow", "Status:", nullptr));
    startUpdateButton->setText(QCoreApplication::translate("MainWindow", "Start Update", nullptr));
    showDetailsButton->setText(QCoreApplication::translate("MainWindow", "Show Details", nullptr));
    menuAbout->setTitle(QCoreApplication::translate("MainWindow", "About", nullptr));
}
