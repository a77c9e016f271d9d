// Throughput of the byte scanner on a few MiB of output shaped like the update tool's.
#include "scan/textscanner.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

namespace {

constexpr std::size_t targetSize = 4 << 20;

// Progress lines for both phases, each followed by a few lines of other chatter.
const std::string &toolOutput()
{
    static const std::string text = [] {
        const char *chatter[] = {
            "Device state: dfuDNLOAD-IDLE\r\n",
            "Memory @ 0x08004000, 2048 bytes written\r\n",
            "Elapsed: 00:00:07\r\n",
            "Target 00: internal flash, 16 sectors\r\n",
        };
        std::string out;
        std::size_t line = 0;
        while (out.size() < targetSize) {
            for (int percent = 0; percent <= 100 && out.size() < targetSize; ++percent) {
                out += (line / 101) % 2 ? "Upgrading - Download Phase ("
                                        : "Upgrading - Erase Phase (";
                out += std::to_string(percent);
                out += ")\r\n";
                for (std::size_t k = 0; k <= line % 3; ++k)
                    out += chatter[(line + k) % 4];
                ++line;
            }
        }
        return out;
    }();
    return text;
}

// Numbers of every accepted form, one space apart.
const std::string &numbers()
{
    static const std::string text = [] {
        const char *forms[] = {"42", "+7", "0x1F", "h2a", "0b101", "B11", "4294967295", "007"};
        std::string out;
        for (std::size_t i = 0; out.size() < targetSize; ++i) {
            out += forms[i % 8];
            out += ' ';
        }
        return out;
    }();
    return text;
}

TextScanner scannerOn(const std::string &text)
{
    TextScanner s;
    s.init(text.data(), std::uint32_t(text.size()));
    return s;
}

void skipPastEveryLine(benchmark::State &state)
{
    const std::string &text = toolOutput();
    std::int64_t found = 0;
    for (auto _ : state) {
        TextScanner s = scannerOn(text);
        while (s.skipPast("Upgrading - Download Phase (") == ScanOk)
            ++found;
        benchmark::DoNotOptimize(s.pos);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
    state.counters["lines"] = benchmark::Counter(double(found), benchmark::Counter::kIsRate);
}
BENCHMARK(skipPastEveryLine);

// The text never occurs: one search over the whole output.
void skipPastAbsent(benchmark::State &state)
{
    const std::string &text = toolOutput();
    for (auto _ : state) {
        TextScanner s = scannerOn(text);
        benchmark::DoNotOptimize(s.skipPast("Leaving DFU Mode..."));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}
BENCHMARK(skipPastAbsent);

// What progress recognition does per line: find the text, read the number, match ")".
void progressLines(benchmark::State &state)
{
    const std::string &text = toolOutput();
    for (auto _ : state) {
        TextScanner s = scannerOn(text);
        std::int32_t value = 0;
        std::int64_t sum = 0;
        while (s.skipPast("Upgrading - Download Phase (") == ScanOk) {
            if (s.readInteger(&value) == ScanOk && s.matchLiteral(")") == ScanOk)
                sum += value;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}
BENCHMARK(progressLines);

void readInteger(benchmark::State &state)
{
    const std::string &text = numbers();
    std::int64_t read = 0;
    for (auto _ : state) {
        TextScanner s = scannerOn(text);
        std::int32_t value = 0;
        while (s.readInteger(&value) == ScanOk && s.matchBytes(" ", 1) == ScanOk) {
            benchmark::DoNotOptimize(value);
            ++read;
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
    state.counters["integers"] = benchmark::Counter(double(read), benchmark::Counter::kIsRate);
}
BENCHMARK(readInteger);

} // namespace

BENCHMARK_MAIN();
