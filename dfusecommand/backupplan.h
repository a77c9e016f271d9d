// What a download will erase, as the backup reads it: whole erasable sectors, since an erase
// takes a sector whatever part of it an element covers, or the image's own bytes from 0 for a
// plain device. The parts read come together again as a firmware file that restores them.
#ifndef BACKUPPLAN_H
#define BACKUPPLAN_H

#include "dfuse/downloadplan.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

class BackupPlan
{
public:
    struct Part
    {
        quint8 alternateSetting = 0;
        quint32 address = 0;
        qint64 size = 0;
        QByteArray bytes;
    };

    // download is the file as dfu-util gets it, its shared sectors already joined.
    static BackupPlan make(const DfuSeFile &download, const MemoryLayouts &layouts);

    // The file the parts read so far make, with the device's ids: one element per part, in
    // the DfuSe format or for a plain device the plain one.
    QByteArray fileBytes(quint16 vendorId, quint16 productId) const;
    qint64 size() const;

    DfuSeFile::Kind kind = DfuSeFile::DfuSe;
    // Runs of touching sectors the layout calls readable, in address order per setting.
    QVector<Part> parts;
    // "0x08004000 to 0x08007FFF" for each run the layout calls not readable.
    QStringList unreadable;
};

#endif // BACKUPPLAN_H
