// The USB descriptors of a simulated device.
#include "devsim/usbdescriptors.h"

#include <algorithm>
#include <cstdio>

namespace {

enum StringIndex : uint8_t { LanguagesString = 0, Manufacturer, Product, Serial, FirstAlternate };

void put16(std::vector<uint8_t> *bytes, uint16_t value)
{
    bytes->push_back(uint8_t(value));
    bytes->push_back(uint8_t(value >> 8));
}

} // namespace

UsbDescriptors::UsbDescriptors(const DeviceConfig &config, bool dfuMode, unsigned number)
    : m_config(config)
    , m_dfuMode(dfuMode)
{
    char serial[24];
    std::snprintf(serial, sizeof serial, "BFSIM%07u", number);
    m_serial = config.serial.empty() ? serial : config.serial;
}

std::vector<uint8_t> UsbDescriptors::device() const
{
    std::vector<uint8_t> d = {18, 1};
    put16(&d, 0x0200); // USB 2.0
    d.insert(d.end(), {0, 0, 0, 64});
    put16(&d, m_config.vendor);
    put16(&d, m_config.product);
    put16(&d, m_config.bcdDevice);
    d.insert(d.end(), {Manufacturer, Product, Serial, 1});
    return d;
}

std::vector<uint8_t> UsbDescriptors::interface(uint8_t number, uint8_t alternate,
                                               uint8_t interfaceClass, uint8_t subClass,
                                               uint8_t protocol, uint8_t name) const
{
    return {9, 4, number, alternate, 0, interfaceClass, subClass, protocol, name};
}

std::vector<uint8_t> UsbDescriptors::configuration() const
{
    std::vector<uint8_t> body;
    uint8_t interfaces = 1;
    if (m_dfuMode) {
        for (size_t alt = 0; alt < m_config.alternates.size(); ++alt) {
            const auto part = interface(0, uint8_t(alt), 0xFE, 1, 2, uint8_t(FirstAlternate + alt));
            body.insert(body.end(), part.begin(), part.end());
        }
    } else {
        // The application's own function first, then its DFU run-time interface.
        auto part = interface(0, 0, 0xFF, 0, 0, 0);
        body.insert(body.end(), part.begin(), part.end());
        part = interface(1, 0, 0xFE, 1, 1, FirstAlternate);
        body.insert(body.end(), part.begin(), part.end());
        interfaces = 2;
    }
    body.insert(body.end(), {9, 0x21, m_config.attributes()});
    put16(&body, 255); // wDetachTimeOut
    put16(&body, m_config.transferSize);
    put16(&body, m_config.bcdDfu());

    std::vector<uint8_t> d = {9, 2};
    put16(&d, uint16_t(9 + body.size()));
    d.insert(d.end(), {interfaces, 1, 0, 0x80, 50});
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

std::vector<uint8_t> UsbDescriptors::all() const
{
    std::vector<uint8_t> d = device();
    const std::vector<uint8_t> rest = configuration();
    d.insert(d.end(), rest.begin(), rest.end());
    return d;
}

std::optional<std::vector<uint8_t>> UsbDescriptors::string(uint8_t index) const
{
    if (index == LanguagesString)
        return std::vector<uint8_t> {4, 3, 0x09, 0x04};
    std::string text;
    if (index == Manufacturer)
        text = "Brindleflash";
    else if (index == Product)
        text = m_config.dfuse ? "Simulated DfuSe device" : "Simulated DFU device";
    else if (index == Serial)
        text = m_serial;
    else if (!m_dfuMode && index == FirstAlternate)
        text = "DFU run-time";
    else if (m_dfuMode && index - FirstAlternate < int(m_config.alternates.size()))
        text = m_config.alternates[index - FirstAlternate].text;
    else
        return std::nullopt;
    // Descriptors hold at most 126 UTF-16 characters.
    text.resize(std::min<size_t>(text.size(), 126));
    std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), 3};
    for (char c : text)
        put16(&d, uint8_t(c));
    return d;
}
