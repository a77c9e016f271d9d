// What fwupd 2.0.20's dfu plugin does when it installs a firmware file: which alternate settings
// it finds, what it erases and writes where, how far it reads each element back and how it
// compares, and the words it ends with. The device counts DfuSe blocks in its own transfer size
// and reads back what it holds up to the end of a region, as ST's boot loaders do.
#ifndef FWUPDMODEL_H
#define FWUPDMODEL_H

#include "dfuse/dfusefile.h"
#include "dfuse/memorylayout.h"

#include <QByteArray>
#include <QString>

#include <vector>

struct FwupdDevice
{
    // Where the DFU functional descriptor stands in the configuration descriptor.
    enum Descriptor { AfterLastAlternate, AfterEachAlternate };

    bool plain = false;
    // DfuSe: one per alternate setting; plain: one region at 0, the device's memory.
    std::vector<MemoryLayout> layouts;
    quint32 transferSize = 2048; // the device's wTransferSize
    quint32 forcedTransferSize = 0; // a DfuForceTransferSize quirk, 0 for none
    Descriptor descriptor = AfterLastAlternate;
    // What the memory holds before the install: old firmware, not erased flash.
    char oldByte = 0x00;
};

struct FwupdOutcome
{
    QString error; // fwupd's words, empty when the install succeeds
    // Per alternate setting, per region of its layout: the memory afterwards.
    std::vector<std::vector<QByteArray>> memory;
};

class FwupdModel
{
public:
    explicit FwupdModel(const FwupdDevice &device);

    // The alternate settings fwupd finds: with the descriptor only after the last one, its
    // descriptor parser takes each alternate setting's successor for its descriptor.
    std::vector<int> alternates() const;
    // The transfer size fwupd uses for every alternate setting.
    quint32 transferSize() const;
    FwupdOutcome install(const DfuSeFile &file) const;
    // The bytes of [address, address + size) of an alternate setting afterwards.
    QByteArray read(const FwupdOutcome &outcome, int alternate, quint64 address,
                    quint64 size) const;

private:
    struct Sector
    {
        quint64 start = 0;
        quint32 size = 0;
        quint8 attributes = 0;
        int zone = 0;
    };
    class Session;

    std::vector<Sector> sectors(int alternate) const;
    // The sector fwupd takes for an address: the first whose start <= address <= its end.
    static const Sector *lookup(const std::vector<Sector> &sectors, quint64 address);

    FwupdDevice m_device;
};

#endif // FWUPDMODEL_H
