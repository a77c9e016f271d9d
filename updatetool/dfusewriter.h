// Lays out a DfuSe file: prefix, targets with their elements, suffix and CRC.
#ifndef DFUSEWRITER_H
#define DFUSEWRITER_H

#include "updatetool/dfusefile.h"

class DfuSeWriter
{
public:
    static QByteArray write(const DfuSeFile &file);
};

#endif // DFUSEWRITER_H
