// The firmware.metainfo.xml of a cabinet for fwupd and the LVFS: what the firmware is, which
// device takes it, and the release it makes.
#ifndef FWUPDMETAINFO_H
#define FWUPDMETAINFO_H

#include <QByteArray>
#include <QDate>
#include <QString>

class FwupdMetainfo
{
public:
    // fwupd's GUID for a USB device: UUID version 5 of its instance id, "USB\VID_xxxx&PID_xxxx".
    static QString deviceGuid(quint16 vendor, quint16 product);
    // bcdDevice as fwupd shows it: 0x0123 is "1.23"; empty unless every digit is decimal.
    static QString bcdVersion(quint16 bcd);

    // What is missing or wrong, as one sentence; empty when the metadata are complete.
    QString problem() const;
    QByteArray xml() const;

    QString id;
    QString name;
    QString summary;
    QString developer;
    QString projectLicense;
    QString metadataLicense = "CC0-1.0";
    QString description;
    QDate date;
    QString urgency = "medium";
    QString integrity = "unsigned";
    QString fwupdVersion = "1.8.12";
    quint16 vendor = 0xFFFF;
    quint16 product = 0xFFFF;
    quint16 version = 0xFFFF;
    bool dfuse = true;
    QString firmwareName = "firmware.dfu";
    QByteArray firmware;
};

#endif // FWUPDMETAINFO_H
