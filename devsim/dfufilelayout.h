// The memory a firmware file needs: read from a DfuSe file's targets and elements, or from a
// plain DFU file's image size.
#ifndef DFUFILELAYOUT_H
#define DFUFILELAYOUT_H

#include <cstdint>
#include <string>
#include <vector>

class DfuFileLayout
{
public:
    static constexpr uint32_t SectorSize = 2048;

    bool read(const std::vector<uint8_t> &file, std::string *error);

    bool plain = false;
    uint64_t imageSize = 0; // plain files
    uint16_t vendor = 0xFFFF;
    uint16_t product = 0xFFFF;
    // DfuSe files: a layout string for each alternate setting from 0 to the highest in the file.
    std::vector<std::string> alternates;
};

#endif // DFUFILELAYOUT_H
