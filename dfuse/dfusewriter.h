// Lays out a DfuSe file: prefix, targets with their elements, suffix and CRC; or a plain DFU
// file: the image and the suffix.
#ifndef DFUSEWRITER_H
#define DFUSEWRITER_H

#include "dfuse/dfusefile.h"

class DfuSeWriter
{
public:
    static QByteArray write(const DfuSeFile &file);
    // The elements' bytes one after the other, then the suffix: a plain DFU file.
    static QByteArray writePlain(const DfuSeFile &file);
};

#endif // DFUSEWRITER_H
