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

// What a split costs: eight seconds of video + audio written into eight files
// (files = 8) and into one (files = 1), both made before the clock starts.
// The facade splits before each file's add call, the bare loop opens and
// finishes a file; the difference of the two, over seven, is the cost of one
// more file, with the same bytes written the same way on both sides. The
// facade's last file of an iteration is finished by the next one's first
// split.
void SplitFiles(benchmark::State& state, bool viaFacade, std::size_t files)
{
    constexpr std::size_t kSeconds = 8;
    CopySource source(8, true);
    const auto facade = Mpeg::IFfMpegFacade::Create(true);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < 2 * kSeconds; ++i)
        paths.push_back(OutputPath("split-" + std::to_string(i) + ".mp4"));
    if (viaFacade)
        OpenCopy(*facade, paths.back(), true);
    std::size_t file = 0;
    double cpu = 0;
    for (auto _ : state)
    {
        // The bare loop starts every export at the input's start.
        if (!viaFacade)
            source.Rewind();
        std::vector<Batch> batches(kSeconds);
        std::generate(batches.begin(), batches.end(), [&] { return source.Next(); });
        const double startCpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        std::unique_ptr<BareCopy> bare;
        for (std::size_t s = 0; s < kSeconds; ++s)
        {
            if (s % (kSeconds / files) == 0)
            {
                const std::string& path = paths[file++ % paths.size()];
                if (viaFacade)
                    facade->SplitMediaFileAudioVideo(TestMedia::Wide(path), batches[s].video.front()->timestamp,
                                                     *batches[s].audio.front());
                else
                {
                    if (bare)
                        bare->Finish();
                    bare = std::make_unique<BareCopy>(path, true);
                }
            }
            viaFacade ? Add(*facade, batches[s], true) : bare->Write(batches[s]);
        }
        // The facade's worker is waited for (the estimate joins it), so that
        // no writing is left for the untimed making of the next batches.
        if (bare)
            bare->Finish();
        else
            facade->EstimateFileSize(0, 0);
        state.SetIterationTime(Since(start));
        cpu += ProcessCpuSeconds() - startCpu;
    }
    state.counters["cpu_ms"] = 1e3 * cpu / static_cast<double>(state.iterations());
    if (viaFacade)
        facade->FinishMediaFile();
    for (const std::string& path : paths)
        std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(SplitFiles, bare_1, false, 1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SplitFiles, bare_8, false, 8)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SplitFiles, facade_1, true, 1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SplitFiles, facade_8, true, 8)->UseManualTime()->Unit(benchmark::kMillisecond);

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
