// The copy paths against the bare libavformat loop writing the same packets
// into the same MP4: 1080p25 H.264-sized packets at 8 Mbit/s, alone
// (Create(false)) and with 48 kHz ADTS AAC (Create(true)); the cost of one
// more file in a split export; and the add calls' latency while the worker
// writes. Both sides start from the host's own copy of the packets, made
// before the clock starts, and release each packet once written.
//
// BENCH_SECONDS sets the input length (default 60 s; 2 s under BENCH_SMOKE).

#include "BenchInput.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace
{
using namespace Bench;

// The whole input from its start, as the host's own copy.
std::vector<Batch> Input(CopySource& source)
{
    source.Rewind();
    std::vector<Batch> batches(static_cast<std::size_t>(Workload("BENCH_SECONDS", 60, 2)));
    for (Batch& batch : batches)
        batch = source.Next();
    return batches;
}

// One whole export per iteration, from opening the file to its trailer.
void Copy(benchmark::State& state, bool viaFacade, bool withAudio)
{
    const std::string path = OutputPath("copy.mp4");
    CopySource source(8, withAudio);
    const auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
    double cpu = 0;
    for (auto _ : state)
    {
        std::vector<Batch> batches = Input(source);
        const double startCpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        if (viaFacade)
        {
            OpenCopy(*facade, path, withAudio);
            for (Batch& batch : batches)
                Add(*facade, batch, withAudio);
            facade->FinishMediaFile();
        }
        else
        {
            BareCopy bare(path, withAudio);
            for (Batch& batch : batches)
                bare.Write(batch);
            bare.Finish();
        }
        state.SetIterationTime(Since(start));
        cpu += ProcessCpuSeconds() - startCpu;
    }
    // Both threads' CPU time: steadier than the wall time on a shared machine.
    state.counters["cpu_ms"] = 1e3 * cpu / static_cast<double>(state.iterations());
    // The comparison is fair only if the bare loop writes the same file.
    if (viaFacade && !withAudio)
    {
        std::vector<Batch> batches = Input(source);
        BareCopy bare(path + ".bare.mp4", false);
        for (Batch& batch : batches)
            bare.Write(batch);
        bare.Finish();
        auto bytes = [](const std::string& name) {
            std::ifstream file(name, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(file), {});
        };
        if (bytes(path) != bytes(path + ".bare.mp4"))
            state.SkipWithError("the facade's file differs from the bare loop's");
        std::filesystem::remove(path + ".bare.mp4");
    }
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(Copy, bare_video, false, false)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Copy, facade_video, true, false)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Copy, bare_av, false, true)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Copy, facade_av, true, true)->UseManualTime()->Unit(benchmark::kMillisecond);

// One second of video + audio into a file of its own per iteration: the
// facade splits, the bare loop opens, writes and finishes a file. The facade
// writes each second after its add call returns; the split that follows
// waits for it, so every iteration holds one file's whole cost.
void SplitFiles(benchmark::State& state, bool viaFacade)
{
    const std::string paths[] = {OutputPath("split-a.mp4"), OutputPath("split-b.mp4")};
    CopySource source(8, true);
    const auto facade = Mpeg::IFfMpegFacade::Create(true);
    if (viaFacade)
        OpenCopy(*facade, paths[0], true);
    std::size_t file = 0;
    for (auto _ : state)
    {
        if (!viaFacade)
            source.Rewind();
        Batch batch = source.Next();
        const std::string& path = paths[++file % 2];
        const auto start = Clock::now();
        if (viaFacade)
        {
            facade->SplitMediaFileAudioVideo(TestMedia::Wide(path), batch.video.front()->timestamp,
                                             *batch.audio.front());
            Add(*facade, batch, true);
        }
        else
        {
            BareCopy bare(path, true);
            bare.Write(batch);
            bare.Finish();
        }
        state.SetIterationTime(Since(start));
    }
    if (viaFacade)
        facade->FinishMediaFile();
    for (const std::string& path : paths)
        std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(SplitFiles, bare, false)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SplitFiles, facade, true)->UseManualTime()->Unit(benchmark::kMillisecond);

double Percentile(std::vector<double> values, double q) // nearest rank
{
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values.empty() ? 0 : values[std::max<std::size_t>(rank, 1) - 1];
}

// The host's side: how long each one-second add call blocks the host.
// Calls come every 200 us, so the worker is writing the previous batches
// while the next one is queued. The first call of an export starts the
// worker thread and is reported on its own (first_us). Iteration time is the
// add calls' alone.
void AddLatency(benchmark::State& state, bool withAudio)
{
    const std::string path = OutputPath("latency.mp4");
    CopySource source(8, withAudio);
    const auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
    std::vector<double> running, first;
    for (auto _ : state)
    {
        std::vector<Batch> batches = Input(source);
        OpenCopy(*facade, path, withAudio);
        double spent = 0;
        for (std::size_t i = 0; i < batches.size(); ++i)
        {
            const auto start = Clock::now();
            Add(*facade, batches[i], withAudio);
            const double seconds = Since(start);
            spent += seconds;
            (i == 0 ? first : running).push_back(seconds * 1e6);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        facade->FinishMediaFile();
        state.SetIterationTime(spent);
    }
    state.counters["p50_us"] = Percentile(running, 0.5);
    state.counters["p99_us"] = Percentile(running, 0.99);
    state.counters["max_us"] = Percentile(running, 1);
    state.counters["first_us"] = Percentile(first, 0.5);
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(AddLatency, video, false)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(AddLatency, av, true)->UseManualTime()->Iterations(20)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
