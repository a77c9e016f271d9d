// Builds without libgcab (Windows) make no cabinets.
#include "dfusepack/cabinetwriter.h"

bool CabinetWriter::available()
{
    return false;
}

QByteArray CabinetWriter::write(const QList<QPair<QString, QByteArray>> &, QString *error)
{
    *error = "this build has no cabinet support (libgcab)";
    return {};
}
