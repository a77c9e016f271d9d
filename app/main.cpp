// Brindleflash: updates a USB device's firmware by running the DFU tool installed beside it.
#include "app/mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(":/icons/brindleflash.png"));
    MainWindow window;
    window.show();
    return app.exec();
}
