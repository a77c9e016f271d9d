// DfuSeCommand.exe: flashes a DfuSe firmware file through DFU.
#include "dfusecommand/os/nativenames.h"
#include "dfusecommand/updatetool.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const NativeNames names(argc, argv);
    UpdateTool tool;
    return tool.run(app.arguments(), QProcessEnvironment::systemEnvironment(), names);
}
