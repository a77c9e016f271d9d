// What fwupd would get wrong when it writes a DfuSe file: its erase plan, simulated on the
// device's memory layout. fwupd counts an address at a sector's very end to that sector, and
// remembers the sectors it erased for one element only.
#ifndef FWUPDCHECK_H
#define FWUPDCHECK_H

#include "dfuse/dfusefile.h"
#include "dfuse/memorylayout.h"

#include <QByteArray>
#include <QStringList>

#include <vector>

class FwupdCheck
{
public:
    static constexpr quint32 DefaultTransferSize = 2048;

    // One layout per alternate setting, in order.
    FwupdCheck(const std::vector<MemoryLayout> &layouts, quint32 transferSize);

    // The problems fwupd would have with the file, one line each; none when it writes it intact.
    QStringList check(const DfuSeFile &file, const QByteArray &bytes) const;
    // Each target's elements as one, the gaps filled with 0xFF; false with the reason when that
    // would change what the flash holds or leave fwupd's fault in place.
    bool merge(DfuSeFile *file, QString *problem) const;

private:
    QStringList checkTarget(const DfuSeTarget &target) const;

    std::vector<MemoryLayout> m_layouts;
    quint32 m_transferSize;
};

#endif // FWUPDCHECK_H
