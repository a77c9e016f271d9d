// The devices the update tool names when it finds several, read from its standard output as it
// arrives, in pieces of any size.
#ifndef DEVICELINEREADER_H
#define DEVICELINEREADER_H

#include <QByteArray>
#include <QList>
#include <QString>

class DeviceLineReader
{
public:
    struct Device
    {
        QString port;
        QString ids;
        QString serial;
    };

    void clear();
    void feed(const QByteArray &chunk);
    // The output has ended: a last line needs no line break.
    void finish();
    const QList<Device> &devices() const { return found; }

private:
    void readLine(const QByteArray &line);

    QByteArray partial;
    bool skippingLine = false;
    QList<Device> found;
};

#endif // DEVICELINEREADER_H
