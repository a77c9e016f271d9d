// What fwupd would get wrong when it installs a firmware file on a device: its install run on a
// model of the device (old firmware in the memory), then each element compared with what the
// memory holds afterwards.
#ifndef FWUPDCHECK_H
#define FWUPDCHECK_H

#include "dfuse/dfusefile.h"
#include "dfusepack/fwupdmodel.h"

#include <QByteArray>
#include <QStringList>

class FwupdCheck
{
public:
    static constexpr quint32 DefaultTransferSize = 2048;

    explicit FwupdCheck(const FwupdDevice &device);

    // The problems fwupd would have with the file, one line each; none when it writes it intact.
    QStringList check(const DfuSeFile &file, const QByteArray &bytes) const;
    // The file packed so that fwupd writes it as it is meant: the targets of one alternate
    // setting and each target's elements as one, the gaps filled with 0xFF, and elements split
    // where they run into the next region. False with the reason when that would change what
    // the memory holds.
    bool merge(DfuSeFile *file, QString *problem) const;

private:
    QStringList checkInstall(const DfuSeFile &file) const;
    QString advice(const QString &error, const DfuSeFile &file) const;
    bool mergeTarget(DfuSeTarget *target, QString *problem) const;
    void splitAtRegions(DfuSeTarget *target) const;

    FwupdDevice m_device;
};

#endif // FWUPDCHECK_H
