// One simulated DFU device.
#include "devsim/dfudevice.h"

#include <algorithm>
#include <cstring>

namespace {

enum DfuseCommand : uint8_t { GetCommands = 0x00, SetAddress = 0x21, Erase = 0x41 };

} // namespace

DfuDevice::DfuDevice(const DeviceConfig &config, FaultPlan *faults)
    : m_config(config)
    , m_faults(faults)
    , m_dfuMode(!config.runtime)
    , m_state(config.runtime ? AppIdle : DfuIdle)
{
    for (const MemoryLayout &layout : config.alternates) {
        std::vector<MemoryRegion> regions;
        for (const RegionLayout &region : layout.regions)
            regions.emplace_back(region, config.fill);
        m_memories.push_back(std::move(regions));
    }
}

DfuDevice::Reply DfuDevice::request(uint8_t request, uint16_t value, const uint8_t *data,
                                    uint16_t length)
{
    if (!m_present)
        return {false, true, {}};
    if (!m_dfuMode)
        return runtimeRequest(request);

    switch (request) {
    case GetStatus:
        return statusReply();
    case GetState:
        return {false, false, {m_state}};
    case ClrStatus:
        m_state = DfuIdle;
        m_status = Ok;
        return {};
    case Abort:
        if (m_state == DfuError)
            return {true, false, {}};
        m_state = DfuIdle;
        return {};
    case Dnload:
        return download(value, data, length);
    case Upload:
        return upload(value, length);
    default:
        // DFU_DETACH is for run-time mode only.
        return stall(ErrStalledPkt);
    }
}

DfuDevice::Reply DfuDevice::runtimeRequest(uint8_t request)
{
    switch (request) {
    case GetStatus:
        return {false, false, {Ok, 0, 0, 0, m_state, 0}};
    case GetState:
        return {false, false, {m_state}};
    case Detach:
        m_state = AppDetach;
        if (m_config.attributes() & DeviceConfig::WillDetach) {
            m_dfuMode = true;
            m_state = DfuIdle;
            m_change = Change::Reenumerate;
        }
        return {};
    default:
        return {true, false, {}};
    }
}

DfuDevice::Reply DfuDevice::statusReply()
{
    uint32_t poll = 0;
    switch (m_state) {
    case DnloadSync:
        // The work takes a poll interval, as on a chip that erases or programs flash.
        m_state = DnBusy;
        poll = m_config.pollMs;
        break;
    case DnBusy:
        m_status = m_pendingStatus;
        m_state = m_status == Ok ? DnloadIdle : DfuError;
        break;
    case ManifestSync:
        if (m_config.dfuse) {
            // Answered, then the device starts its firmware.
            if (m_config.stay) {
                m_change = Change::Manifested;
                m_state = DfuIdle;
            } else {
                leave();
            }
            return {false, false, {Ok, 0, 0, 0, Manifest, 0}};
        }
        if (m_config.manifestationTolerant) {
            m_state = DfuIdle;
            m_change = Change::Manifested;
        } else {
            m_state = Manifest;
            poll = m_config.pollMs;
        }
        break;
    case Manifest:
        m_state = ManifestWaitReset;
        break;
    default:
        break;
    }
    return {false,
            false,
            {m_status, uint8_t(poll), uint8_t(poll >> 8), uint8_t(poll >> 16), m_state, 0}};
}

DfuDevice::Reply DfuDevice::stall(uint8_t status)
{
    m_state = DfuError;
    m_status = status;
    return {true, false, {}};
}

DfuDevice::Reply DfuDevice::download(uint16_t value, const uint8_t *data, uint16_t length)
{
    if (m_state != DfuIdle && m_state != DnloadIdle)
        return stall(ErrStalledPkt);
    if (length == 0) {
        // DfuSe: the leave request; plain: the end of a download, and nothing to end in dfuIDLE.
        if (!m_config.dfuse && m_state == DfuIdle)
            return stall(ErrNotDone);
        m_state = ManifestSync;
        return {};
    }
    if (m_config.dfuse && value == 0) {
        m_pendingStatus = dfuseCommand(data, length);
        m_state = DnloadSync;
        return {};
    }
    if (m_config.dfuse && value == 1)
        return stall(ErrStalledPkt);

    uint8_t faultStatus = Ok;
    switch (m_faults->nextDataBlock(&faultStatus)) {
    case FaultPlan::BlockFault::Disconnect:
        m_present = false;
        m_change = Change::LeftBus;
        return {false, true, {}};
    case FaultPlan::BlockFault::Error:
        m_pendingStatus = faultStatus;
        break;
    case FaultPlan::BlockFault::None:
        if (m_config.dfuse) {
            m_pendingStatus
                = write(m_pointer + uint64_t(value - 2) * m_config.transferSize, data, length);
        } else {
            if (m_state == DfuIdle)
                m_pointer = 0;
            m_pendingStatus = write(m_pointer, data, length);
            m_pointer += length;
        }
        break;
    }
    m_state = DnloadSync;
    return {};
}

DfuDevice::Reply DfuDevice::upload(uint16_t value, uint16_t length)
{
    if (m_state != DfuIdle && m_state != UploadIdle)
        return stall(ErrStalledPkt);
    if (!m_config.canUpload)
        return stall(ErrStalledPkt);
    if (m_faults->readProtect)
        return stall(ErrVendor);

    uint64_t address = 0;
    if (m_config.dfuse) {
        if (value == 0) {
            std::vector<uint8_t> commands = {GetCommands, SetAddress, Erase};
            commands.resize(std::min<size_t>(commands.size(), length));
            m_state = UploadIdle;
            return {false, false, commands};
        }
        if (value == 1)
            return stall(ErrStalledPkt);
        address = m_pointer + uint64_t(value - 2) * m_config.transferSize;
    } else {
        if (m_state == DfuIdle)
            m_pointer = 0;
        address = m_pointer;
    }

    const MemoryRegion *region = regionAt(address);
    uint64_t count = 0;
    if (region) {
        count = std::min<uint64_t>(length, region->base() + region->size() - address);
    } else if (!m_config.dfuse) {
        // A plain upload that reached the end of memory ends with an empty packet.
        m_state = DfuIdle;
        return {};
    }
    if (!region || !region->allowed(address, count, MemoryLayout::Readable))
        return stall(ErrAddress);
    if (m_faults->stallAddress && *m_faults->stallAddress >= address
        && *m_faults->stallAddress < address + count)
        return stall(ErrAddress);
    const auto from = region->bytes().begin() + (address - region->base());
    Reply reply {false, false, std::vector<uint8_t>(from, from + count)};
    m_pointer += m_config.dfuse ? 0 : count;
    m_state = count < length ? DfuIdle : UploadIdle;
    return reply;
}

uint8_t DfuDevice::dfuseCommand(const uint8_t *data, uint16_t length)
{
    const uint32_t address = length >= 5 ? uint32_t(data[1]) | uint32_t(data[2]) << 8
            | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24
                                         : 0;
    if (data[0] == SetAddress && length == 5) {
        m_pointer = address;
        return Ok;
    }
    if (data[0] == Erase && length == 5)
        return erase(address);
    if (data[0] == Erase && length == 1) {
        for (MemoryRegion &region : m_memories[m_alternate]) {
            for (uint64_t at = region.base(); at < region.base() + region.size();) {
                const MemoryRegion::Sector sector = region.sectorAt(at);
                if (sector.attributes & MemoryLayout::Erasable)
                    erase(at);
                at = sector.start + sector.size;
            }
        }
        return Ok;
    }
    return ErrStalledPkt;
}

uint8_t DfuDevice::write(uint64_t address, const uint8_t *data, uint16_t length)
{
    MemoryRegion *region = regionAt(address);
    if (!region || !region->allowed(address, length, MemoryLayout::Writable))
        return ErrAddress;
    std::vector<uint8_t> &bytes = region->bytes();
    for (uint64_t at = address; at < address + length;) {
        const MemoryRegion::Sector sector = region->sectorAt(at);
        const uint64_t end = std::min<uint64_t>(sector.start + sector.size, address + length);
        // DfuSe flash only clears bits, so data written over unerased flash comes out wrong;
        // plain devices erase as they write.
        const bool flash = m_config.dfuse && (sector.attributes & MemoryLayout::Erasable);
        for (; at < end; ++at) {
            uint8_t &byte = bytes[at - region->base()];
            byte = flash ? byte & data[at - address] : data[at - address];
            if (m_faults->corruptAddress && *m_faults->corruptAddress == at)
                byte ^= 0x01;
        }
    }
    return Ok;
}

uint8_t DfuDevice::erase(uint64_t address)
{
    MemoryRegion *region = regionAt(address);
    if (!region)
        return ErrAddress;
    const MemoryRegion::Sector sector = region->sectorAt(address);
    if (!(sector.attributes & MemoryLayout::Erasable))
        return ErrAddress;
    std::fill_n(region->bytes().begin() + (sector.start - region->base()), sector.size, 0xFF);
    return Ok;
}

MemoryRegion *DfuDevice::regionAt(uint64_t address)
{
    for (MemoryRegion &region : m_memories[m_alternate]) {
        if (region.contains(address))
            return &region;
    }
    return nullptr;
}

bool DfuDevice::selectAlternate(unsigned alternate)
{
    if (!m_present)
        return false;
    if (!m_dfuMode)
        return alternate == 0;
    if (alternate >= m_memories.size())
        return false;
    m_alternate = alternate;
    return true;
}

void DfuDevice::busReset()
{
    if (!m_present)
        return;
    if (!m_dfuMode) {
        if (m_state == AppDetach) {
            m_dfuMode = true;
            m_state = DfuIdle;
            m_status = Ok;
            m_change = Change::Reenumerate;
        }
        return;
    }
    // A DfuSe boot loader comes back as itself; a plain device starts its firmware.
    if (m_config.dfuse) {
        m_state = DfuIdle;
        m_status = Ok;
        return;
    }
    leave();
}

void DfuDevice::leave()
{
    if (m_config.nextBcdDevice) {
        m_config.bcdDevice = *m_config.nextBcdDevice;
        m_config.runtime = true;
    }
    if (m_config.runtime) {
        m_dfuMode = false;
        m_state = AppIdle;
        m_status = Ok;
        m_change = Change::Reenumerate;
        return;
    }
    m_present = false;
    m_change = Change::LeftBus;
}

DfuDevice::Change DfuDevice::takeChange()
{
    const Change change = m_change;
    m_change = Change::None;
    return change;
}
