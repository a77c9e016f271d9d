// Windows hands programs their command line in UTF-16: every name arrives whole.
#include "dfusecommand/os/nativenames.h"

NativeNames::NativeNames(int, char **) { }

NativeNames::~NativeNames() = default;

QString NativeNames::openable(const QString &given) const
{
    return given;
}
