// File names on the command line as the bytes given. On Unix a name that the locale's encoding
// cannot hold decodes to other characters, and would name no file.
#ifndef NATIVENAMES_H
#define NATIVENAMES_H

#include <QMap>
#include <QString>
#include <QVector>

class NativeNames
{
public:
    NativeNames(int argc, char **argv);
    ~NativeNames();
    NativeNames(const NativeNames &) = delete;
    NativeNames &operator=(const NativeNames &) = delete;

    // A name that opens the file that the argument, as decoded, names.
    QString openable(const QString &given) const;

private:
    QMap<QString, QString> names;
    QVector<int> descriptors;
};

#endif // NATIVENAMES_H
