// Start-up baseline: an empty main window of Brindleflash's size and nothing else.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(450, 346);
    window.setWindowTitle("Empty window");
    window.show();
    return app.exec();
}
