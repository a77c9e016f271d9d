// The USB descriptors of a simulated device, in DFU mode or in run-time mode.
#ifndef USBDESCRIPTORS_H
#define USBDESCRIPTORS_H

#include "devsim/deviceconfig.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class UsbDescriptors
{
public:
    UsbDescriptors(const DeviceConfig &config, bool dfuMode, unsigned number);

    std::vector<uint8_t> device() const;
    std::vector<uint8_t> configuration() const;
    // Both, as the node and the sysfs record give them.
    std::vector<uint8_t> all() const;
    std::optional<std::vector<uint8_t>> string(uint8_t index) const;
    const std::string &serial() const { return m_serial; }

private:
    std::vector<uint8_t> interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass,
                                   uint8_t subClass, uint8_t protocol, uint8_t name) const;

    const DeviceConfig &m_config;
    bool m_dfuMode;
    std::string m_serial;
};

#endif // USBDESCRIPTORS_H
