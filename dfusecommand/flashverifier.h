// Compares what a device reads back with the file, element by element and range by range,
// and says how it went: one line per range, and never "verified" for a byte that was not
// compared.
#ifndef FLASHVERIFIER_H
#define FLASHVERIFIER_H

#include "dfuse/downloadplan.h"
#include "dfusecommand/toolresult.h"

#include <QByteArray>
#include <QString>

#include <functional>

class DfuSeFile;
class PhaseReporter;
struct DfuSeElement;

class FlashVerifier
{
public:
    // Before the SHA-256 of every byte read back, when all of them could be read.
    static constexpr char ReadBackHashPrefix[] = "SHA-256 of the bytes read back: ";

    // What the device holds where an element went, or why it cannot tell. A problem that is
    // not failed is the device refusing to be read, as a read-protected one does.
    struct ReadBack
    {
        bool ok = false;
        bool failed = false;
        QByteArray bytes;
        QString problem;
    };
    // Reads the bytes of part of an element, given as an element of its own.
    using Reader = std::function<ReadBack(quint8 alternateSetting, const DfuSeElement &element)>;

    // Reads every range the layouts call readable, and whole elements where there is no layout.
    // Success when every byte matched; a warning naming the ranges left unread when the layout
    // says they cannot be read or the device refused every read; exit code 4 naming the first
    // differing address, a readable range the device refused while it read others, or why the
    // read-back failed (it stops there). Fewer bytes than asked count as a failed read-back.
    static ToolResult verify(const DfuSeFile &file, const MemoryLayouts &layouts,
                             PhaseReporter &progress, const Reader &read);
};

#endif // FLASHVERIFIER_H
