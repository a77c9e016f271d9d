// Writes a Microsoft cabinet archive, the container fwupd and the LVFS take firmware in.
#ifndef CABINETWRITER_H
#define CABINETWRITER_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class CabinetWriter
{
public:
    // False in a build without libgcab.
    static bool available();
    // The cabinet holding each named file, or a null array with *error set.
    static QByteArray write(const QList<QPair<QString, QByteArray>> &files, QString *error);
};

#endif // CABINETWRITER_H
