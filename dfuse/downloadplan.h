// What dfu-util gets to write, planned on the device's memory layouts before anything is
// written: dfu-util erases every sector an element touches just before writing it, so two
// elements of one alternate setting in one erasable sector become one, and elements with no
// bytes, which dfu-util cannot take, are left out.
#ifndef DOWNLOADPLAN_H
#define DOWNLOADPLAN_H

#include "dfuse/dfusefile.h"
#include "dfuse/memorylayout.h"

#include <QMap>
#include <QStringList>

// Each alternate setting's memory layout, where the device names one that can be read.
using MemoryLayouts = QMap<int, MemoryLayout>;

class DownloadPlan
{
public:
    static DownloadPlan make(const DfuSeFile &file, const MemoryLayouts &layouts);
    // The layouts among the alternate settings' names; a note for each that cannot be read.
    static MemoryLayouts layoutsOf(const QMap<int, QString> &names, QStringList *notes);
    // Where a DfuSe device starts after a reset, which the leave request jumps to: the base of
    // alternate setting 0's first region, or without its layout the lowest address the file
    // writes there (or anywhere).
    static quint32 leaveAddress(const DfuSeFile &file, const MemoryLayouts &layouts);

    DfuSeFile file;
    // One line for each change from the file as given.
    QStringList notes;
    // Why the file cannot go onto this device, said of its first element that lies outside its
    // alternate setting's memory or in sectors that cannot be written; empty when every element
    // fits or has no layout to be checked against.
    QString misfit;
    bool changed() const { return !notes.isEmpty(); }
};

#endif // DOWNLOADPLAN_H
