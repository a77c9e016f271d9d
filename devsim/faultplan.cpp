// The faults a simulated device shows.
#include "devsim/faultplan.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool parseNumber(const std::string &text, uint64_t maximum, uint64_t *value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || number > maximum)
        return false;
    *value = number;
    return true;
}

} // namespace

bool FaultPlan::add(const std::string &fault, std::string *error)
{
    const size_t at = fault.find('@');
    const std::string kind = fault.substr(0, at);
    const std::string argument = at == std::string::npos ? std::string() : fault.substr(at + 1);
    const bool hasArgument = at != std::string::npos;
    uint64_t value = 0;
    if (!hasArgument && kind == "absent") {
        absent = true;
    } else if (!hasArgument && kind == "readprotect") {
        readProtect = true;
    } else if (!hasArgument && kind == "noupload") {
        noUpload = true;
    } else if (hasArgument && kind == "disconnect" && parseNumber(argument, UINT32_MAX, &value)
               && value > 0) {
        m_disconnectBlock = value;
    } else if (hasArgument && kind == "corrupt" && parseNumber(argument, UINT32_MAX, &value)) {
        corruptAddress = uint32_t(value);
    } else if (hasArgument && kind == "stall" && parseNumber(argument, UINT32_MAX, &value)) {
        stallAddress = uint32_t(value);
    } else if (hasArgument && kind == "error") {
        const size_t colon = argument.find(':');
        uint64_t status = 0;
        if (colon == std::string::npos
            || !parseNumber(argument.substr(0, colon), UINT32_MAX, &value) || value == 0
            || !parseNumber(argument.substr(colon + 1), 15, &status) || status == 0) {
            *error = "bad fault \"" + fault + "\": expected error@N:STATUS, STATUS 1 to 15";
            return false;
        }
        m_errorBlock = value;
        m_errorStatus = uint8_t(status);
    } else {
        *error = "unknown fault \"" + fault + "\"";
        return false;
    }
    return true;
}

FaultPlan::BlockFault FaultPlan::nextDataBlock(uint8_t *status)
{
    ++m_blocks;
    if (m_blocks == m_disconnectBlock)
        return BlockFault::Disconnect;
    if (m_blocks == m_errorBlock) {
        *status = m_errorStatus;
        return BlockFault::Error;
    }
    return BlockFault::None;
}
