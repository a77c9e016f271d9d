// The packer's fwupd side: the cabinet for the LVFS (--cab and its metadata) and the check of
// what fwupd's DfuSe writing would damage on the device's --layout (--check-fwupd,
// --transfer-size and the device's other habits, --fwupd-merge, --pad-to, --force).
#ifndef FWUPDPACKAGING_H
#define FWUPDPACKAGING_H

#include "dfuse/dfusefile.h"
#include "dfuse/downloadplan.h"
#include "dfuse/memorylayout.h"
#include "dfusepack/fwupdmetainfo.h"
#include "dfusepack/fwupdmodel.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>

#include <vector>

class FwupdPackaging
{
public:
    // Exit codes beside the packer's own: fwupd would not write the file intact.
    enum Exit { Usage = 2, BadMetadata = 3, Damaged = 4 };

    FwupdPackaging();
    void addOptions(QCommandLineParser *parser) const;
    bool checkOnly(const QCommandLineParser &parser) const { return parser.isSet(m_check); }
    bool cabinet(const QCommandLineParser &parser) const { return parser.isSet(m_cab); }
    // --check-fwupd FILE alone: the exit code.
    int runCheck(const QCommandLineParser &parser, const MemoryLayouts &layouts);
    // Before packing: -1 when the options are sound, else the exit code, the reason printed.
    int readOptions(const QCommandLineParser &parser, const DfuSeFile &ids, bool plain,
                    const MemoryLayouts &layouts);
    // After packing: merges when asked and checks when layouts were given; -1 when the file may
    // be written, else the exit code.
    int prepare(const QCommandLineParser &parser, DfuSeFile *file, QByteArray *bytes);
    // The cabinet with the packed file; false with the reason printed.
    bool writeCabinet(const QCommandLineParser &parser, const QByteArray &bytes) const;

private:
    int readLayouts(const QCommandLineParser &parser, const MemoryLayouts &layouts);
    // The device fwupd meets, for a DfuSe or a plain file.
    FwupdDevice device(bool plain) const;

    QCommandLineOption m_cab, m_check, m_transfer, m_quirkTransfer, m_descriptor, m_memorySize,
        m_padTo, m_merge, m_force;
    QList<QCommandLineOption> m_metadata;
    FwupdDevice m_device;
    quint64 m_memory = 0, m_pad = 0;
    FwupdMetainfo m_metainfo;
};

#endif // FWUPDPACKAGING_H
