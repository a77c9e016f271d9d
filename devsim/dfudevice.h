// One simulated DFU device: the DFU 1.1 state machine, its run-time mode, and the DfuSe
// commands when it is a DfuSe device. Not thread-safe: the caller serialises calls.
#ifndef DFUDEVICE_H
#define DFUDEVICE_H

#include "devsim/deviceconfig.h"
#include "devsim/faultplan.h"
#include "devsim/memoryregion.h"

#include <cstdint>
#include <vector>

class DfuDevice
{
public:
    enum State : uint8_t {
        AppIdle = 0,
        AppDetach = 1,
        DfuIdle = 2,
        DnloadSync = 3,
        DnBusy = 4,
        DnloadIdle = 5,
        ManifestSync = 6,
        Manifest = 7,
        ManifestWaitReset = 8,
        UploadIdle = 9,
        DfuError = 10
    };
    enum Request : uint8_t {
        Detach = 0,
        Dnload = 1,
        Upload = 2,
        GetStatus = 3,
        ClrStatus = 4,
        GetState = 5,
        Abort = 6
    };
    enum Status : uint8_t {
        Ok = 0,
        ErrTarget = 1,
        ErrAddress = 8,
        ErrNotDone = 9,
        ErrVendor = 11,
        ErrStalledPkt = 15
    };
    // What the bus has to do once a request or reset is answered. All but None mean the
    // device finished with its memory, which is then worth writing out.
    enum class Change { None, Manifested, Reenumerate, LeftBus };

    struct Reply
    {
        bool stall = false;
        bool gone = false; // the device is not on the bus (any more)
        std::vector<uint8_t> data;
    };

    DfuDevice(const DeviceConfig &config, FaultPlan *faults);

    // A class request to the DFU interface; data holds what an OUT request carries.
    Reply request(uint8_t request, uint16_t value, const uint8_t *data, uint16_t length);
    bool selectAlternate(unsigned alternate);
    void busReset();
    // What changed since the last call.
    Change takeChange();

    const DeviceConfig &config() const { return m_config; }
    bool dfuMode() const { return m_dfuMode; }
    bool present() const { return m_present; }
    uint8_t state() const { return m_state; }
    uint8_t status() const { return m_status; }
    std::vector<std::vector<MemoryRegion>> &memories() { return m_memories; }
    const std::vector<std::vector<MemoryRegion>> &memories() const { return m_memories; }

private:
    Reply runtimeRequest(uint8_t request);
    Reply statusReply();
    Reply stall(uint8_t status);
    Reply download(uint16_t value, const uint8_t *data, uint16_t length);
    Reply upload(uint16_t value, uint16_t length);
    uint8_t dfuseCommand(const uint8_t *data, uint16_t length);
    uint8_t write(uint64_t address, const uint8_t *data, uint16_t length);
    uint8_t erase(uint64_t address);
    MemoryRegion *regionAt(uint64_t address);
    void leave();

    DeviceConfig m_config;
    FaultPlan *m_faults;
    std::vector<std::vector<MemoryRegion>> m_memories;
    unsigned m_alternate = 0;
    bool m_present = true;
    bool m_dfuMode = true;
    uint8_t m_state = DfuIdle;
    uint8_t m_status = Ok;
    uint8_t m_pendingStatus = Ok;
    uint64_t m_pointer = 0; // DfuSe address pointer; plain: offset of the next block
    Change m_change = Change::None;
};

#endif // DFUDEVICE_H
