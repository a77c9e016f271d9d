// What a simulated device is: its kind, identity, memories and habits.
#ifndef DEVICECONFIG_H
#define DEVICECONFIG_H

#include "dfuse/memorylayout.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DeviceConfig
{
    // Functional descriptor bmAttributes bits.
    enum Attribute : uint8_t {
        CanDownload = 0x01,
        CanUpload = 0x02,
        ManifestationTolerant = 0x04,
        WillDetach = 0x08
    };

    bool dfuse = true;
    uint16_t vendor = 0x0483;
    uint16_t product = 0xDF11;
    // DfuSe: one layout per alternate setting; plain: one layout, a single region at 0.
    std::vector<MemoryLayout> alternates;
    bool runtime = false;
    bool stay = false;
    bool manifestationTolerant = true;
    bool canUpload = true;
    uint32_t pollMs = 0;
    uint16_t transferSize = 2048;
    uint16_t bcdDevice = 0x0200;
    // Empty: BFSIM and the device's number.
    std::string serial;
    // After a leave request: back in run-time mode with this bcdDevice, as new firmware would be.
    std::optional<uint16_t> nextBcdDevice;

    uint16_t bcdDfu() const { return dfuse ? 0x011A : 0x0110; }
    uint8_t attributes() const
    {
        // Like the DfuSe boot loaders, which detach by themselves and never tolerate manifestation.
        if (dfuse)
            return CanDownload | (canUpload ? CanUpload : 0) | WillDetach;
        return CanDownload | (canUpload ? CanUpload : 0)
            | (manifestationTolerant ? ManifestationTolerant : 0);
    }
};

#endif // DEVICECONFIG_H
