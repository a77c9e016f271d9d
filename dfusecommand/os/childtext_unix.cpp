// dfu-util prints in the locale's encoding, which is UTF-8 wherever the tool runs.
#include "dfusecommand/os/childtext.h"

QByteArray ChildText::toUtf8(const QByteArray &lines)
{
    return lines;
}
