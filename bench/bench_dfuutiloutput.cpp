// Reading dfu-util's standard output: 80 MB without a single line break, as a misbehaving
// dfu-util or device name could print it, against 80 MB of ordinary progress bars, both in
// the 64 KiB chunks a pipe delivers.
#include "dfusecommand/dfuutiloutput.h"

#include <benchmark/benchmark.h>

namespace {

constexpr int TotalSize = 80 * 1000 * 1000;
constexpr int ChunkSize = 64 * 1024;

void feedAll(benchmark::State &state, const QByteArray &chunk)
{
    for (auto _ : state) {
        DfuUtilOutput output;
        qint64 records = 0;
        for (int done = 0; done < TotalSize; done += chunk.size())
            records += output.feed(chunk).size();
        records += output.finish().size();
        benchmark::DoNotOptimize(records);
    }
    state.SetBytesProcessed(state.iterations() * qint64(TotalSize));
}

void noLineBreak(benchmark::State &state)
{
    feedAll(state, QByteArray(ChunkSize, 'x'));
}

void progressBars(benchmark::State &state)
{
    const QByteArray bar = "\rDownload\t[==========               ]  40%         1024 bytes";
    feedAll(state, bar.repeated(ChunkSize / bar.size()));
}

} // namespace

BENCHMARK(noLineBreak)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(progressBars)->Unit(benchmark::kMillisecond)->Repetitions(5);

BENCHMARK_MAIN();
