// brindleflash-devsim's command line, and the device it asks for.
#ifndef DEVSIMOPTIONS_H
#define DEVSIMOPTIONS_H

#include "devsim/deviceconfig.h"
#include "devsim/faultplan.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

class DevsimOptions
{
public:
    static const char *const DefaultAlternate;

    // Everything after the program name; false with a reason for a bad command line.
    bool parse(const std::vector<std::string> &arguments, std::string *error);
    // The device the options describe, reading the --layout-from file if there is one.
    bool deviceConfig(DeviceConfig *config, std::string *error) const;
    static std::string usage();

    bool help = false;
    std::optional<uint16_t> vendor;
    std::optional<uint16_t> product;
    std::vector<std::string> alternates;
    std::string layoutFrom;
    std::string memoryFolder;
    FaultPlan faults;
    // A device given faults of its own (FAULT:deviceK) has these in place of the shared plan,
    // with the shared faults as well; it counts its data blocks alone.
    std::map<unsigned, FaultPlan> deviceFaults;
    // Serial numbers by device number, 0 for every device; unset: BFSIM and the number.
    std::map<unsigned, std::string> serials;
    uint32_t pollMs = 0;
    unsigned devices = 1;
    bool stay = false;
    bool plain = false;
    std::optional<uint64_t> size;
    bool manifestReset = false;
    bool runtime = false;
    std::optional<uint16_t> bcd;
    std::optional<uint16_t> newBcd;
    std::vector<std::string> command;
};

#endif // DEVSIMOPTIONS_H
