// Start-up baseline: the kinds of widgets Brindleflash's window holds, with no behaviour.
#include <QAction>
#include <QApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(450, 346);
    window.setWindowTitle("Same widgets");

    auto *central = new QWidget(&window);
    auto *column = new QVBoxLayout(central);
    column->addWidget(new QLabel("File:", central));

    auto *browseRow = new QHBoxLayout;
    browseRow->addWidget(new QPushButton("Browse...", central));
    browseRow->addStretch();
    column->addLayout(browseRow);

    column->addWidget(new QLabel("Status:", central));
    auto *bar = new QProgressBar(central);
    bar->setValue(75);
    column->addWidget(bar);

    auto *buttonRow = new QHBoxLayout;
    buttonRow->addWidget(new QPushButton("Start", central));
    buttonRow->addWidget(new QPushButton("Details", central));
    column->addLayout(buttonRow);

    auto *log = new QPlainTextEdit(central);
    QFont font;
    font.setFamily("Lucida Console");
    log->setFont(font);
    log->setReadOnly(true);
    log->hide();
    column->addWidget(log);
    window.setCentralWidget(central);

    QMenu *menu = window.menuBar()->addMenu("About");
    menu->addAction("About...");
    menu->addAction("About Qt...");

    window.show();
    return app.exec();
}
