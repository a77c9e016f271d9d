// A stand-in for the update tool that floods its standard output as fast as the pipe takes it and
// exits with 0: 10 MiB of mixed lines, a progress line in every 200 bytes (erase phase, then
// download phase); or, with BENCH_FLOOD=plain in its environment, 100 MiB of the same lines
// without a single progress line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

const std::size_t totalBytes = 10 * 1024 * 1024;
const std::size_t plainBytes = 100 * 1024 * 1024;
const std::size_t recordBytes = 200;

const char *const chatter[] = {
    "Target 00: Upgrading memory at 0x08004000, 2048 bytes per block",
    "Ger\xc3\xa4t bereit \xe2\x80\x94 \xc3\x9c"
    "berpr\xc3\xbc"
    "fung l\xc3\xa4uft \xe2\x9c\x93",
    "00 20 00 20 c1 01 00 08 49 02 00 08 4b 02 00 08 4d 02 00 08",
    "Duration: 00:00:01, status dfuDNLOAD-IDLE, poll 5 ms",
};

std::string record(std::size_t index, std::size_t count)
{
    const bool erasing = index < count / 2;
    const std::size_t step = erasing ? index : index - count / 2;
    const unsigned percent = unsigned(step * 100 / (count / 2 - 1));
    std::string line = chatter[index % 4];
    line += "\r\n";
    line += erasing ? "Upgrading - Erase Phase (" : "Upgrading - Download Phase (";
    line += std::to_string(percent) + ")";
    line.resize(recordBytes - 2, ' ');
    return line + "\r\n";
}

bool writeAll(const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (written < 0)
            return false;
        done += std::size_t(written);
    }
    return true;
}

std::string plainOutput()
{
    std::string output;
    output.reserve(plainBytes + recordBytes);
    for (std::size_t i = 0; output.size() < plainBytes; ++i) {
        output += chatter[i % 4];
        output += "\r\n";
    }
    output.resize(plainBytes);
    return output;
}

std::string progressOutput()
{
    const std::size_t count = totalBytes / recordBytes;
    std::string output;
    output.reserve(totalBytes);
    for (std::size_t i = 0; i < count; ++i)
        output += record(i, count);
    std::string tail = "Leaving DFU Mode...\r\n";
    tail.resize(totalBytes - output.size(), '\n');
    output += tail;
    return output;
}

} // namespace

int main()
{
    const char *kind = std::getenv("BENCH_FLOOD");
    const bool plain = kind && std::strcmp(kind, "plain") == 0;
    return writeAll(plain ? plainOutput() : progressOutput()) ? 0 : 1;
}
