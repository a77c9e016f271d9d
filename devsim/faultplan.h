// The faults a simulated device shows, and the count of data blocks they are timed by; one plan
// is shared by every device of a run, so counts span the whole run.
#ifndef FAULTPLAN_H
#define FAULTPLAN_H

#include <cstdint>
#include <optional>
#include <string>

class FaultPlan
{
public:
    enum class BlockFault { None, Error, Disconnect };

    // One --fault argument: absent, readprotect, noupload, error@N:STATUS, disconnect@N,
    // corrupt@ADDRESS, stall@ADDRESS.
    bool add(const std::string &fault, std::string *error);

    // Counts one written data block and says what happens to it.
    BlockFault nextDataBlock(uint8_t *status);

    bool absent = false;
    bool readProtect = false;
    bool noUpload = false;
    std::optional<uint32_t> corruptAddress;
    // Uploads stall at the block that holds this address, as where part of a readable range
    // is protected.
    std::optional<uint32_t> stallAddress;

private:
    uint64_t m_blocks = 0;
    uint64_t m_errorBlock = 0;
    uint8_t m_errorStatus = 0;
    uint64_t m_disconnectBlock = 0;
};

#endif // FAULTPLAN_H
