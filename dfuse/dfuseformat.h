// The DfuSe byte layout, with the address format the tool's and the packer's messages share.
#ifndef DFUSEFORMAT_H
#define DFUSEFORMAT_H

#include "dfuse/dfusebytes.h"

#include <QString>

namespace DfuSeFormat {

inline QString hex32(quint32 value)
{
    return "0x" + QString::number(value, 16).toUpper().rightJustified(8, QChar('0'));
}

} // namespace DfuSeFormat

#endif // DFUSEFORMAT_H
