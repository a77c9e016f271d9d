// A DfuSe firmware file as data.
#include "dfuse/dfusefile.h"

qint64 DfuSeFile::dataSize() const
{
    qint64 size = 0;
    for (const DfuSeTarget &target : targets) {
        for (const DfuSeElement &element : target.elements)
            size += element.data.size();
    }
    return size;
}

int DfuSeFile::elementCount() const
{
    int count = 0;
    for (const DfuSeTarget &target : targets)
        count += target.elements.size();
    return count;
}
