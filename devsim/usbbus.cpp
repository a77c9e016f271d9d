// The simulated USB bus on umockdev.
#include "devsim/usbbus.h"

#include "devsim/usbdescriptors.h"

#include <umockdev.h>

#include <sys/ioctl.h>

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

const char RootHubPath[] = "/devices/pci0000:00/0000:00:01.0/usb1";
constexpr uint8_t DfuClassRequest = USB_TYPE_CLASS | USB_RECIP_INTERFACE;

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::string format(const char *pattern, unsigned a, unsigned b = 0)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// A record in umockdev's uevent format for a device on bus 1.
std::string record(const std::string &path, unsigned devnum, uint16_t vendor, uint16_t product,
                   uint16_t version, const std::string &devpath, const std::string &serial,
                   const std::vector<uint8_t> &descriptors)
{
    const std::string node = format("bus/usb/001/%03u", devnum);
    return "P: " + path + "\nN: " + node
        + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/" + node
        + "\nE: BUSNUM=001\nE: DEVNUM=" + format("%03u", devnum) + "\nE: PRODUCT="
        + format("%x/%x", vendor, product) + format("/%x", version) + "\nE: MAJOR=189\nE: MINOR="
        + format("%u", devnum - 1) + "\nA: busnum=1\nA: devnum=" + format("%u", devnum)
        + "\nA: devpath=" + devpath + "\nA: speed=12\nA: idVendor=" + format("%04x", vendor)
        + "\nA: idProduct=" + format("%04x", product) + "\nA: bcdDevice=" + format("%04x", version)
        + "\nA: bConfigurationValue=1\n"
          "A: bNumConfigurations=1\nA: bMaxPacketSize0=64\nA: serial="
        + serial + "\nH: descriptors=" + hex(descriptors) + "\n";
}

template<typename T> T *resolve(UMockdevIoctlData *data, size_t offset, size_t length)
{
    GError *error = nullptr;
    UMockdevIoctlData *resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
    g_clear_error(&error);
    return reinterpret_cast<T *>(resolved);
}

// A program killed in the middle of a request leaves umockdev a client with an open stream. On
// a real bus that is no event at all, so the simulated one keeps quiet about it too.
void quietAboutVanishedClients(const gchar *domain, GLogLevelFlags level, const gchar *message,
                               gpointer)
{
    if (!std::strstr(message, "Destroying IoctlClient with open stream"))
        g_log_default_handler(domain, level, message, nullptr);
}

} // namespace

UsbBus::UsbBus() = default;

UsbBus::~UsbBus()
{
    for (auto &queue : m_reaps) {
        for (UMockdevIoctlData *urb : queue.second)
            g_object_unref(urb);
    }
    if (m_testbed)
        g_object_unref(m_testbed);
    for (UMockdevIoctlBase *handler : m_handlers)
        g_object_unref(handler);
}

bool UsbBus::start(const DeviceConfig &config, DevsimOptions &options, std::string *error)
{
    g_log_set_handler(nullptr, G_LOG_LEVEL_CRITICAL, quietAboutVanishedClients, nullptr);
    m_testbed = umockdev_testbed_new();
    const std::vector<uint8_t> hubDescriptors = {
        18, 1, 0,    2, 9, 0, 1, 64,   0x6b, 0x1d, 2, 0, 0, 1, 0, 0, 0, 1, // device: a hub
        9,  2, 25,   0, 1, 1, 0, 0xE0, 0, // configuration
        9,  4, 0,    0, 1, 9, 0, 0,    0, // hub interface
        7,  5, 0x81, 3, 4, 0, 12 // status endpoint
    };
    GError *gerror = nullptr;
    if (!umockdev_testbed_add_from_string(
            m_testbed,
            ("P: " + std::string(RootHubPath)
             + "\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
               "E: DEVNAME=/dev/bus/usb/001/001\nE: BUSNUM=001\nE: DEVNUM=001\n"
               "A: busnum=1\nA: devnum=1\nA: devpath=0\nA: speed=480\nA: idVendor=1d6b\n"
               "A: idProduct=0002\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n"
               "H: descriptors="
             + hex(hubDescriptors) + "\n")
                .c_str(),
            &gerror)) {
        *error = std::string("cannot set up the simulated bus: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    if (options.faults.absent)
        return true;

    for (unsigned number = 1; number <= options.devices; ++number) {
        auto port = std::make_unique<Port>();
        port->number = number;
        port->syspath = std::string(RootHubPath) + "/1-" + std::to_string(number);
        // Each device may have faults and a serial of its own.
        const auto own = options.deviceFaults.find(number);
        FaultPlan *faults = own == options.deviceFaults.end() ? &options.faults : &own->second;
        DeviceConfig device = config;
        device.canUpload = !faults->noUpload;
        const auto serial = options.serials.count(number) ? options.serials.find(number)
                                                          : options.serials.find(0);
        if (serial != options.serials.end())
            device.serial = serial->second;
        port->device = std::make_unique<DfuDevice>(device, faults);
        if (!options.memoryFolder.empty()) {
            // Every device keeps its own memory; the first one right in the folder.
            port->store.emplace(number == 1
                                    ? options.memoryFolder
                                    : options.memoryFolder + "/device" + std::to_string(number));
            if (!port->store->load(&port->device->memories(), error))
                return false;
        }
        if (!plug(*port, error))
            return false;
        m_ports.push_back(std::move(port));
    }
    return true;
}

bool UsbBus::plug(Port &port, std::string *error)
{
    const DfuDevice &device = *port.device;
    const UsbDescriptors descriptors(device.config(), device.dfuMode(), port.number);

    port.devnum = m_nextDevnum++;
    GError *gerror = nullptr;
    const std::string text
        = record(port.syspath, port.devnum, device.config().vendor, device.config().product,
                 device.config().bcdDevice, std::to_string(port.number), descriptors.serial(),
                 descriptors.all());
    const std::string devnode = format("/dev/bus/usb/001/%03u", port.devnum);
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    m_nodes.push_back(std::make_unique<Node>(Node {this, &port, port.devnum}));
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), m_nodes.back().get());
    g_signal_connect(handler, "handle-read", G_CALLBACK(onRead), m_nodes.back().get());
    g_signal_connect(handler, "client-connected", G_CALLBACK(onClientConnected),
                     m_nodes.back().get());
    m_handlers.push_back(handler);
    if (!umockdev_testbed_attach_ioctl(m_testbed, devnode.c_str(), handler, &gerror)) {
        if (error)
            *error = std::string("cannot attach to a simulated device: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    // Answered before it is added: a program woken by its udev event may open it at once.
    if (!umockdev_testbed_add_from_string(m_testbed, text.c_str(), &gerror)) {
        if (error)
            *error = std::string("cannot add a simulated device: ") + gerror->message;
        g_error_free(gerror);
        return false;
    }
    return true;
}

void UsbBus::unplug(Port &port)
{
    if (port.devnum == 0)
        return;
    // Under umockdev's preload a device added sends its udev event; one removed does not.
    if (umockdev_in_mock_environment())
        umockdev_testbed_uevent(m_testbed, ("/sys" + port.syspath).c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, ("/sys" + port.syspath).c_str());
    port.devnum = 0;
}

int UsbBus::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *node)
{
    const Node *target = static_cast<const Node *>(node);
    target->bus->handleIoctl(*target, client);
    return TRUE;
}

// Reading the node gives the device's descriptors, as usbfs does, up to a short read.
int UsbBus::onRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *node)
{
    const Node *target = static_cast<const Node *>(node);
    UsbBus *bus = target->bus;
    std::lock_guard<std::mutex> lock(bus->m_mutex);
    if (target->port->devnum != target->devnum) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    const DfuDevice &device = *target->port->device;
    const std::vector<uint8_t> descriptors
        = UsbDescriptors(device.config(), device.dfuMode(), target->port->number).all();
    UMockdevIoctlData *buffer = umockdev_ioctl_client_get_arg(client);
    size_t &offset = bus->m_readOffsets[client];
    const size_t count = std::min(descriptors.size() - std::min(offset, descriptors.size()),
                                  size_t(buffer->data_len));
    std::memcpy(buffer->data, descriptors.data() + offset, count);
    offset += count;
    // libusb seeks back to the start before it reads them again, and seeks reach no handler.
    if (count < size_t(buffer->data_len))
        bus->m_readOffsets.erase(client);
    umockdev_ioctl_client_complete(client, long(count), 0);
    return TRUE;
}

// A program killed between submitting a URB and reaping it leaves the URB queued, and the
// next program's client can be allocated at the same address: it would reap the dead one's URB,
// whose answer goes to a closed socket, and wait for its own answer forever.
void UsbBus::onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *node)
{
    UsbBus *bus = static_cast<const Node *>(node)->bus;
    std::lock_guard<std::mutex> lock(bus->m_mutex);
    bus->m_readOffsets.erase(client);
    const auto queue = bus->m_reaps.find(client);
    if (queue == bus->m_reaps.end())
        return;
    for (UMockdevIoctlData *urb : queue->second)
        g_object_unref(urb);
    bus->m_reaps.erase(queue);
}

void UsbBus::handleIoctl(const Node &node, UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Port &port = *node.port;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    const bool gone = port.devnum != node.devnum;
    // What was answered before the device left can still be collected.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reapUrb(client, gone);
        return;
    }
    // A device that left the bus, or came back under another number, is gone for this node.
    if (gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }

    switch (request) {
    case USBDEVFS_SUBMITURB:
        submitUrb(port, client);
        return;
    case USBDEVFS_GET_CAPABILITIES:
        if (auto *capabilities = resolve<UMockdevIoctlData>(arg, 0, sizeof(uint32_t))) {
            std::memset(capabilities->data, 0, sizeof(uint32_t));
            g_object_unref(capabilities);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_SETINTERFACE: {
        auto *setting = resolve<UMockdevIoctlData>(arg, 0, sizeof(usbdevfs_setinterface));
        bool ok = false;
        if (setting) {
            const auto *values = reinterpret_cast<usbdevfs_setinterface *>(setting->data);
            const unsigned dfuInterface = port.device->dfuMode() ? 0 : 1;
            ok = values->interface == dfuInterface
                ? port.device->selectAlternate(values->altsetting)
                : values->interface < dfuInterface && values->altsetting == 0;
            g_object_unref(setting);
        }
        umockdev_ioctl_client_complete(client, ok ? 0 : -1, ok ? 0 : EINVAL);
        return;
    }
    case USBDEVFS_RESET:
        port.device->busReset();
        applyChange(port);
        if (port.devnum != node.devnum)
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        else
            umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_CONTROL: {
        auto *transfer = resolve<UMockdevIoctlData>(arg, 0, sizeof(usbdevfs_ctrltransfer));
        if (!transfer) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        auto *values = reinterpret_cast<usbdevfs_ctrltransfer *>(transfer->data);
        uint8_t setup[8] = {values->bRequestType,     values->bRequest,
                            uint8_t(values->wValue),  uint8_t(values->wValue >> 8),
                            uint8_t(values->wIndex),  uint8_t(values->wIndex >> 8),
                            uint8_t(values->wLength), uint8_t(values->wLength >> 8)};
        UMockdevIoctlData *buffer = values->wLength
            ? resolve<UMockdevIoctlData>(transfer, offsetof(usbdevfs_ctrltransfer, data),
                                         values->wLength)
            : nullptr;
        const int result = control(port, setup, buffer ? buffer->data : nullptr);
        if (buffer)
            g_object_unref(buffer);
        g_object_unref(transfer);
        umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? -result : 0);
        return;
    }
    case USBDEVFS_CONNECTINFO:
        if (auto *info = resolve<UMockdevIoctlData>(arg, 0, sizeof(usbdevfs_connectinfo))) {
            *reinterpret_cast<usbdevfs_connectinfo *>(info->data) = {port.devnum, 0};
            g_object_unref(info);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_GET_SPEED:
        umockdev_ioctl_client_complete(client, USB_SPEED_FULL, 0);
        return;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        // No kernel driver is bound to the interfaces, so none can be asked or detached.
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    case USBDEVFS_DISCARDURB:
        // Every URB completes as it is submitted, so none is left to discard.
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
}

void UsbBus::submitUrb(Port &port, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    auto *urbData = resolve<UMockdevIoctlData>(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto *urb = reinterpret_cast<usbdevfs_urb *>(urbData->data);
    // DFU needs control transfers only; the device has no other endpoints.
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    auto *buffer = resolve<UMockdevIoctlData>(urbData, offsetof(usbdevfs_urb, buffer),
                                              size_t(urb->buffer_length));
    if (!buffer) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    const uint16_t length = uint16_t(buffer->data[6] | buffer->data[7] << 8);
    if (size_t(length) + 8 > size_t(urb->buffer_length)) {
        g_object_unref(buffer);
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    const int result = control(port, buffer->data, buffer->data + 8);
    g_object_unref(buffer);
    if (result == -ENODEV) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    urb->status = result < 0 ? result : 0;
    urb->actual_length = result < 0 ? 0 : result;
    m_reaps[client].push_back(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void UsbBus::reapUrb(UMockdevIoctlClient *client, bool gone)
{
    auto queue = m_reaps.find(client);
    if (queue == m_reaps.end() || queue->second.empty()) {
        umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
        return;
    }
    UMockdevIoctlData *urb = queue->second.front();
    queue->second.pop_front();
    auto *pointer
        = resolve<UMockdevIoctlData>(umockdev_ioctl_client_get_arg(client), 0, sizeof(void *));
    if (pointer) {
        umockdev_ioctl_data_set_ptr(pointer, 0, urb);
        g_object_unref(pointer);
    }
    g_object_unref(urb);
    umockdev_ioctl_client_complete(client, pointer ? 0 : -1, pointer ? 0 : EFAULT);
}

int UsbBus::control(Port &port, const uint8_t *setup, uint8_t *data)
{
    const uint8_t type = setup[0];
    const uint16_t value = uint16_t(setup[2] | setup[3] << 8);
    const uint16_t index = uint16_t(setup[4] | setup[5] << 8);
    const uint16_t length = uint16_t(setup[6] | setup[7] << 8);
    if ((type & USB_TYPE_MASK) == USB_TYPE_STANDARD)
        return standardRequest(port, setup, data);
    const unsigned dfuInterface = port.device->dfuMode() ? 0 : 1;
    if ((type & ~USB_DIR_IN) != DfuClassRequest || index != dfuInterface)
        return -EPIPE;

    const bool in = type & USB_DIR_IN;
    const DfuDevice::Reply reply
        = port.device->request(setup[1], value, in ? nullptr : data, length);
    applyChange(port);
    if (reply.gone)
        return -ENODEV;
    if (reply.stall)
        return -EPIPE;
    if (!in)
        return length;
    const size_t count = std::min<size_t>(reply.data.size(), length);
    std::memcpy(data, reply.data.data(), count);
    return int(count);
}

int UsbBus::standardRequest(Port &port, const uint8_t *setup, uint8_t *data)
{
    const uint16_t value = uint16_t(setup[2] | setup[3] << 8);
    const uint16_t length = uint16_t(setup[6] | setup[7] << 8);
    std::vector<uint8_t> answer;
    if (setup[1] == USB_REQ_GET_DESCRIPTOR && (setup[0] & USB_DIR_IN)) {
        const UsbDescriptors descriptors(port.device->config(), port.device->dfuMode(),
                                         port.number);
        const uint8_t kind = uint8_t(value >> 8);
        if (kind == USB_DT_DEVICE) {
            answer = descriptors.device();
        } else if (kind == USB_DT_CONFIG && (value & 0xFF) == 0) {
            answer = descriptors.configuration();
        } else if (kind == USB_DT_STRING) {
            const auto text = descriptors.string(uint8_t(value));
            if (!text)
                return -EPIPE;
            answer = *text;
        } else {
            return -EPIPE;
        }
    } else if (setup[1] == USB_REQ_GET_STATUS && (setup[0] & USB_DIR_IN)) {
        answer = {0, 0};
    } else if (setup[1] == USB_REQ_GET_CONFIGURATION && (setup[0] & USB_DIR_IN)) {
        answer = {1};
    } else if (setup[1] == USB_REQ_SET_CONFIGURATION || setup[1] == USB_REQ_SET_INTERFACE) {
        return 0;
    } else {
        return -EPIPE;
    }
    const size_t count = std::min<size_t>(answer.size(), length);
    std::memcpy(data, answer.data(), count);
    return int(count);
}

void UsbBus::applyChange(Port &port)
{
    const DfuDevice::Change change = port.device->takeChange();
    if (change == DfuDevice::Change::None)
        return;
    save(port);
    if (change == DfuDevice::Change::Manifested)
        return;
    unplug(port);
    if (change == DfuDevice::Change::Reenumerate) {
        std::string error;
        if (!plug(port, &error))
            std::fprintf(stderr, "brindleflash-devsim: %s\n", error.c_str());
    }
}

bool UsbBus::save(Port &port)
{
    if (!port.store)
        return true;
    std::string error;
    if (port.store->save(port.device->memories(), &error))
        return true;
    std::fprintf(stderr, "brindleflash-devsim: cannot write the device memory: %s\n",
                 error.c_str());
    m_saveFailed = true;
    return false;
}

bool UsbBus::finish()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto &port : m_ports)
        save(*port);
    return !m_saveFailed;
}
