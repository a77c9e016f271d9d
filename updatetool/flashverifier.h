// Compares what a device reads back with the file, element by element, and says how it went:
// one line per element, and never "verified" for a byte that was not compared.
#ifndef FLASHVERIFIER_H
#define FLASHVERIFIER_H

#include "updatetool/toolresult.h"

#include <QByteArray>
#include <QString>

#include <functional>

class DfuSeFile;
class PhaseReporter;
struct DfuSeElement;

class FlashVerifier
{
public:
    // What the device holds where an element went, or why it cannot tell. A problem that is
    // not failed is the device refusing to be read, as a read-protected one does.
    struct ReadBack
    {
        bool ok = false;
        bool failed = false;
        QByteArray bytes;
        QString problem;
    };
    using Reader = std::function<ReadBack(quint8 alternateSetting, const DfuSeElement &element)>;

    // Success when every byte matched; a warning when the device refused to be read back;
    // exit code 4 naming the first differing address, or saying why the read-back failed
    // (it stops there), otherwise. Fewer bytes than asked count as a failed read-back.
    static ToolResult verify(const DfuSeFile &file, PhaseReporter &progress, const Reader &read);
};

#endif // FLASHVERIFIER_H
