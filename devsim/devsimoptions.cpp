// brindleflash-devsim's command line.
#include "devsim/devsimoptions.h"

#include "devsim/dfufilelayout.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t DefaultPlainSize = 256 * 1024;
constexpr uint64_t MaximumPlainSize = 512ull << 20;
constexpr uint64_t MaximumFileSize = 512ull << 20;
// A string descriptor holds 126 UTF-16 characters.
constexpr size_t MaximumNameLength = 126;
constexpr uint64_t MaximumMemorySize = 512ull << 20;

bool parseUnsigned(const std::string &text, int base, uint64_t maximum, uint64_t *value)
{
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || number > maximum)
        return false;
    *value = number;
    return true;
}

bool parseSize(std::string text, uint64_t *value)
{
    uint64_t scale = 1;
    if (!text.empty() && (text.back() == 'K' || text.back() == 'k'))
        scale = 1024;
    else if (!text.empty() && (text.back() == 'M' || text.back() == 'm'))
        scale = 1024 * 1024;
    if (scale != 1)
        text.pop_back();
    uint64_t number = 0;
    if (!parseUnsigned(text, 0, MaximumPlainSize / scale, &number) || number == 0)
        return false;
    *value = number * scale;
    return true;
}

bool readFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *error)
{
    // Not blocking: a FIFO would otherwise wait here for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    const bool regular = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!regular || uint64_t(info.st_size) > MaximumFileSize) {
        *error = "cannot read " + path + (fd >= 0 && !regular ? ": not a regular file" : "");
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    bytes->resize(size_t(info.st_size));
    size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t got = ::read(fd, bytes->data() + done, bytes->size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += size_t(got);
    }
    ::close(fd);
    if (done != bytes->size()) {
        *error = "cannot read " + path;
        return false;
    }
    return true;
}

// TEXT:deviceK names device K alone; *device is 0 for every device.
bool takeDevice(std::string *text, unsigned *device)
{
    *device = 0;
    const size_t at = text->rfind(":device");
    if (at == std::string::npos)
        return true;
    uint64_t number = 0;
    if (!parseUnsigned(text->substr(at + 7), 10, 8, &number) || number == 0)
        return false;
    *device = unsigned(number);
    text->erase(at);
    return true;
}

MemoryLayout plainMemory(uint64_t size)
{
    MemoryLayout layout;
    layout.text = layout.name = "Flash";
    layout.regions.push_back(
        {0, {{1, uint32_t(size), MemoryLayout::Readable | MemoryLayout::Writable}}});
    return layout;
}

} // namespace

const char *const DevsimOptions::DefaultAlternate
    = "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";

std::string DevsimOptions::usage()
{
    return "Usage: brindleflash-devsim [OPTIONS] -- COMMAND [ARGS...]\n"
           "Runs COMMAND with a simulated DFU USB device on the bus and exits with its exit code\n"
           "(125 when the device cannot be set up).\n"
           "\n"
           "  --id VID:PID            USB vendor and product ID in hex (default 0483:DF11)\n"
           "  --alt LAYOUT            a DfuSe alternate setting, e.g. \""
        + std::string(DefaultAlternate)
        + "\"\n"
          "                          (repeatable; that one alone by default)\n"
          "  --layout-from FILE.dfu  memory and alternate settings that fit a firmware file\n"
          "  --memory DIR            keep the memory in DIR, one alt<N>-<BASE>.bin per region\n"
          "  --fault FAULT[:deviceK] absent, error@N:STATUS, disconnect@N, readprotect,\n"
          "                          corrupt@ADDRESS, noupload (repeatable); with :deviceK\n"
          "                          for device K alone\n"
          "  --poll-ms N             poll timeout the device asks for while busy\n"
          "  --devices N             N devices at USB ports 1-1 to 1-N, serials BFSIM0000001\n"
          "                          on (memories in DIR/device<K>)\n"
          "  --serial TEXT[:deviceK] the serial of every device, or of device K\n"
          "  --stay                  stay in DFU mode after a leave request\n"
          "  --plain                 a plain DFU 1.1 device instead of a DfuSe one\n"
          "  --size BYTES            memory of a plain device, K and M allowed (default 256K)\n"
          "  --manifest-reset        plain device: not manifestation tolerant\n"
          "  --runtime               start in run-time mode; enter DFU mode on a detach request\n"
          "  --bcd BCD               bcdDevice, the firmware version in hex (default 0x0200)\n"
          "  --new-bcd BCD           after a leave request, come back in run-time mode with\n"
          "                          this bcdDevice\n"
          "  -h, --help              show this text\n";
}

bool DevsimOptions::parse(const std::vector<std::string> &arguments, std::string *error)
{
    std::vector<std::pair<unsigned, std::string>> ownFaults;
    size_t i = 0;
    for (; i < arguments.size(); ++i) {
        std::string option = arguments[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (option.empty() || option[0] != '-')
            break;
        std::string value;
        bool hasValue = false;
        const size_t equals = option.find('=');
        if (option.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (hasValue)
                return true;
            if (i + 1 >= arguments.size()) {
                *error = option + " needs a value";
                return false;
            }
            value = arguments[++i];
            return true;
        };
        auto noValue = [&]() {
            if (hasValue)
                *error = option + " takes no value";
            return !hasValue;
        };
        uint64_t number = 0;
        if (option == "-h" || option == "--help") {
            help = true;
            return true;
        } else if (option == "--stay" || option == "--plain" || option == "--manifest-reset"
                   || option == "--runtime") {
            if (!noValue())
                return false;
            (option == "--stay"          ? stay
                 : option == "--plain"   ? plain
                 : option == "--runtime" ? runtime
                                         : manifestReset)
                = true;
        } else if (option == "--id") {
            if (!takeValue())
                return false;
            const size_t colon = value.find(':');
            uint64_t vid = 0, pid = 0;
            if (colon == std::string::npos
                || !parseUnsigned(value.substr(0, colon), 16, 0xFFFF, &vid)
                || !parseUnsigned(value.substr(colon + 1), 16, 0xFFFF, &pid)) {
                *error = "bad --id \"" + value + "\": expected VID:PID in hex";
                return false;
            }
            vendor = uint16_t(vid);
            product = uint16_t(pid);
        } else if (option == "--bcd" || option == "--new-bcd") {
            if (!takeValue())
                return false;
            if (!parseUnsigned(value, 16, 0xFFFF, &number)) {
                *error = "bad " + option + " \"" + value + "\": expected hex 0 to FFFF";
                return false;
            }
            (option == "--bcd" ? bcd : newBcd) = uint16_t(number);
        } else if (option == "--alt") {
            if (!takeValue())
                return false;
            alternates.push_back(value);
        } else if (option == "--layout-from") {
            if (!takeValue())
                return false;
            layoutFrom = value;
        } else if (option == "--memory") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                *error = "--memory needs a folder";
                return false;
            }
            memoryFolder = value;
        } else if (option == "--fault") {
            unsigned device = 0;
            if (!takeValue())
                return false;
            if (!takeDevice(&value, &device)) {
                *error = "bad --fault \"" + value + "\": expected FAULT:deviceK, K 1 to 8";
                return false;
            }
            FaultPlan check;
            if (!(device == 0 ? faults : check).add(value, error))
                return false;
            if (device != 0 && value == "absent") {
                *error = "absent is for the whole bus; give fewer --devices instead";
                return false;
            }
            if (device != 0)
                ownFaults.emplace_back(device, value);
        } else if (option == "--serial") {
            unsigned device = 0;
            if (!takeValue())
                return false;
            const bool printable = std::all_of(value.begin(), value.end(),
                                               [](char c) { return c >= 0x20 && c < 0x7F; });
            if (!takeDevice(&value, &device) || value.empty() || !printable
                || value.size() > MaximumNameLength) {
                *error = "bad --serial \"" + value
                    + "\": expected 1 to 126 printable characters, :deviceK for device K";
                return false;
            }
            serials[device] = value;
        } else if (option == "--poll-ms") {
            if (!takeValue())
                return false;
            if (!parseUnsigned(value, 10, 60000, &number)) {
                *error = "bad --poll-ms \"" + value + "\": expected 0 to 60000";
                return false;
            }
            pollMs = uint32_t(number);
        } else if (option == "--devices") {
            if (!takeValue())
                return false;
            if (!parseUnsigned(value, 10, 8, &number) || number == 0) {
                *error = "bad --devices \"" + value + "\": expected 1 to 8";
                return false;
            }
            devices = unsigned(number);
        } else if (option == "--size") {
            if (!takeValue())
                return false;
            if (!parseSize(value, &number)) {
                *error = "bad --size \"" + value + "\": expected 1 byte to 512M";
                return false;
            }
            size = number;
        } else {
            *error = "unknown option " + option;
            return false;
        }
    }
    command.assign(arguments.begin() + long(i), arguments.end());
    if (command.empty()) {
        *error = "no COMMAND given";
        return false;
    }
    // The shared faults are all known now, wherever they stood.
    for (const auto &own : ownFaults) {
        if (own.first > devices) {
            *error = "--fault " + own.second + ":device" + std::to_string(own.first)
                + " names a device past --devices";
            return false;
        }
        deviceFaults.emplace(own.first, faults).first->second.add(own.second, error);
    }
    for (const auto &serial : serials) {
        if (serial.first > devices) {
            *error = "--serial " + serial.second + ":device" + std::to_string(serial.first)
                + " names a device past --devices";
            return false;
        }
    }
    if (!alternates.empty() && !layoutFrom.empty()) {
        *error = "--alt and --layout-from exclude each other";
        return false;
    }
    return true;
}

bool DevsimOptions::deviceConfig(DeviceConfig *config, std::string *error) const
{
    *config = DeviceConfig();
    DfuFileLayout file;
    if (!layoutFrom.empty()) {
        std::vector<uint8_t> bytes;
        if (!readFile(layoutFrom, &bytes, error))
            return false;
        if (!file.read(bytes, error)) {
            *error = layoutFrom + ": " + *error;
            return false;
        }
        if (plain && !file.plain) {
            *error = "--plain given, but " + layoutFrom + " is a DfuSe file";
            return false;
        }
        if (file.vendor != 0xFFFF)
            config->vendor = file.vendor;
        if (file.product != 0xFFFF)
            config->product = file.product;
    }
    config->dfuse = !plain && !file.plain;
    if (vendor) {
        config->vendor = *vendor;
        config->product = *product;
    }
    config->runtime = runtime;
    config->bcdDevice = bcd.value_or(config->bcdDevice);
    config->nextBcdDevice = newBcd;
    config->stay = stay;
    config->pollMs = pollMs;
    config->canUpload = !faults.noUpload;
    config->manifestationTolerant = !manifestReset;

    if (!config->dfuse) {
        if (!alternates.empty()) {
            *error = "a plain DFU device has no DfuSe layouts (--alt)";
            return false;
        }
        uint64_t memory = size.value_or(DefaultPlainSize);
        if (file.plain && !size) {
            const uint64_t sector = DfuFileLayout::SectorSize;
            memory = std::max<uint64_t>((file.imageSize + sector - 1) / sector * sector, sector);
        }
        config->alternates.push_back(plainMemory(memory));
        return true;
    }
    if (size || manifestReset) {
        *error = std::string(size ? "--size" : "--manifest-reset") + " is for --plain devices";
        return false;
    }
    std::vector<std::string> layouts = alternates;
    if (!layoutFrom.empty())
        layouts = file.alternates;
    if (layouts.empty())
        layouts.push_back(DefaultAlternate);
    // Each alternate setting's name takes one of the 255 string descriptor indexes.
    if (layouts.size() > 128) {
        *error = "more than 128 alternate settings";
        return false;
    }
    for (const std::string &text : layouts) {
        std::optional<MemoryLayout> layout = MemoryLayout::parse(text, error);
        if (!layout)
            return false;
        // Every region is held in memory whole.
        if (layout->totalSize() > MaximumMemorySize) {
            *error = "bad memory layout \"" + text + "\": more than 512 MiB of memory";
            return false;
        }
        if (text.size() > MaximumNameLength) {
            *error = "memory layout \"" + text + "\" is longer than a USB string holds ("
                + std::to_string(MaximumNameLength) + " characters)";
            return false;
        }
        config->alternates.push_back(*layout);
    }
    return true;
}
