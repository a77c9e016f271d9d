// DfuSeCommand.exe: flashes a DfuSe firmware file through DFU.
#include "updatetool/updatetool.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    UpdateTool tool;
    return tool.run(app.arguments(), QProcessEnvironment::systemEnvironment());
}
