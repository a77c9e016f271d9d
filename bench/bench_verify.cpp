// What read-back verification adds to a simulated 1 MiB update: the download alone (erase and
// write, no delay) against the verification that follows it.
#include "updatetool/dfusefile.h"
#include "updatetool/phasereporter.h"
#include "updatetool/simulatorbackend.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

namespace {

DfuSeFile oneMebibyte()
{
    DfuSeFile file;
    file.targets.append(DfuSeTarget());
    DfuSeElement element;
    element.address = 0x08000000;
    element.data.resize(1 << 20);
    QRandomGenerator random(1);
    for (char &c : element.data)
        c = char(random.bounded(256));
    file.targets[0].elements << element;
    return file;
}

// The tool's lines go to the null device, as if nobody read them.
struct Setup
{
    DfuSeFile file = oneMebibyte();
    QTemporaryDir device;
    SimulatorBackend backend {device.path(), SimulatorBackend::NoFault, 0};
    std::FILE *sink = std::fopen(QProcess::nullDevice().toLocal8Bit().constData(), "w");
    PhaseReporter progress {file.dataSize(), sink};

    ~Setup() { std::fclose(sink); }
    bool download()
    {
        return backend.open(file, progress).ok()
            && backend.download(file, QString(), false, progress).ok();
    }
};

void download(benchmark::State &state)
{
    Setup setup;
    for (auto _ : state) {
        if (!setup.download())
            state.SkipWithError("the simulated download failed");
    }
}

void verification(benchmark::State &state)
{
    Setup setup;
    if (!setup.download())
        state.SkipWithError("the simulated download failed");
    for (auto _ : state) {
        if (!setup.backend.verify(setup.file, setup.progress).ok())
            state.SkipWithError("the verification failed");
    }
}

double smallest(const std::vector<double> &v)
{
    return *std::min_element(v.begin(), v.end());
}

double largest(const std::vector<double> &v)
{
    return *std::max_element(v.begin(), v.end());
}

// Seven runs of each, reported with their minimum, median and maximum among other figures.
void repeated(benchmark::internal::Benchmark *runs)
{
    runs->Unit(benchmark::kMillisecond)
        ->Repetitions(7)
        ->ComputeStatistics("min", smallest)
        ->ComputeStatistics("max", largest)
        ->ReportAggregatesOnly(true);
}

} // namespace

BENCHMARK(download)->Apply(repeated);
BENCHMARK(verification)->Apply(repeated);

BENCHMARK_MAIN();
