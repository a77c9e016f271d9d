// The simulated USB bus: umockdev's fake sysfs records and device nodes for each device, and
// the usbdevfs ioctls libusb sends to them, answered from the device models.
#ifndef USBBUS_H
#define USBBUS_H

#include "devsim/devsimoptions.h"
#include "devsim/dfudevice.h"
#include "devsim/memorystore.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

class UsbBus
{
public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus &) = delete;
    UsbBus &operator=(const UsbBus &) = delete;

    // Sets UMOCKDEV_DIR for the programs started after it; the device memories are loaded.
    bool start(const DeviceConfig &config, DevsimOptions &options, std::string *error);
    // Writes every memory back; false if one could not be written.
    bool finish();

private:
    struct Port
    {
        std::unique_ptr<DfuDevice> device;
        std::optional<MemoryStore> store;
        unsigned number = 0;
        unsigned devnum = 0; // 0 while off the bus
        std::string syspath;
    };
    // What one device node's handler answers for: the port, as long as it keeps that number.
    struct Node
    {
        UsbBus *bus;
        Port *port;
        unsigned devnum;
    };

    static int onIoctl(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *node);
    static int onRead(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, void *node);
    static void onClientConnected(UMockdevIoctlBase *handler, UMockdevIoctlClient *client,
                                  void *node);
    void handleIoctl(const Node &node, UMockdevIoctlClient *client);
    void submitUrb(Port &port, UMockdevIoctlClient *client);
    void reapUrb(UMockdevIoctlClient *client, bool gone);
    // Runs a control transfer: the bytes answered, or -errno.
    int control(Port &port, const uint8_t *setup, uint8_t *data);
    int standardRequest(Port &port, const uint8_t *setup, uint8_t *data);
    void applyChange(Port &port);
    bool plug(Port &port, std::string *error);
    void unplug(Port &port);
    bool save(Port &port);

    std::mutex m_mutex;
    UMockdevTestbed *m_testbed = nullptr;
    std::vector<std::unique_ptr<Port>> m_ports;
    std::vector<std::unique_ptr<Node>> m_nodes;
    std::vector<UMockdevIoctlBase *> m_handlers;
    // Per open of a node; umockdev never says when one closes, so a new one clears its slot.
    std::map<UMockdevIoctlClient *, std::deque<UMockdevIoctlData *>> m_reaps;
    std::map<UMockdevIoctlClient *, size_t> m_readOffsets;
    unsigned m_nextDevnum = 2;
    bool m_saveFailed = false;
};

#endif // USBBUS_H
