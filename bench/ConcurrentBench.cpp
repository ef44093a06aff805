// Many exports in one process: N facades (Create(true)), each fed by a host
// thread of its own, against N bare libavformat loops on N threads, over the
// same packets (60 s of 1080p25 H.264-sized video at 8 Mbit/s with 48 kHz
// ADTS AAC, into MP4). Each export starts from its own copy of the input,
// made before the clock starts, and both sides release each packet once
// written; the host hands its batches over as fast as the export takes them.
// Counters:
//   input_x   seconds of input written per second of wall time, all exports together
//   cpu_ms    CPU time of the whole process (all threads) for one export
//   mb_each   peak resident memory (VmHWM) above the resident size before the
//             first inputs were made, divided by N: an export's input and what
//             it needs to write it. VmHWM is the process's and outlives a run,
//             so each benchmark runs in a process of its own (bench/run_all.sh)
// BENCH_SECONDS sets the input length (default 60 s; 2 s under BENCH_SMOKE).

#include "BenchInput.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <thread>

namespace
{
using namespace Bench;

void Export(const std::string& path, std::vector<Batch>& batches, bool viaFacade)
{
    if (viaFacade)
    {
        const auto facade = Mpeg::IFfMpegFacade::Create(true);
        OpenCopy(*facade, path, true);
        for (Batch& batch : batches)
            Add(*facade, batch, true);
        facade->FinishMediaFile();
        return;
    }
    BareCopy bare(path, true);
    for (Batch& batch : batches)
        bare.Write(batch);
    bare.Finish();
}

void Concurrent(benchmark::State& state, bool viaFacade)
{
    const auto exports = static_cast<std::size_t>(state.range(0));
    const auto seconds = static_cast<std::size_t>(Workload("BENCH_SECONDS", 60, 2));
    CopySource source(8, true);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < exports; ++i)
        paths.push_back(OutputPath("concurrent-" + std::to_string(i) + ".mp4"));
    static const long startKb = StatusKb("VmRSS"); // before this process's first inputs
    double cpu = 0, wall = 0;
    for (auto _ : state)
    {
        std::vector<std::vector<Batch>> inputs(exports);
        for (auto& input : inputs)
        {
            source.Rewind();
            for (std::size_t s = 0; s < seconds; ++s)
                input.push_back(source.Next());
        }
        const double startCpu = ProcessCpuSeconds();
        const auto start = Clock::now();
        std::vector<std::thread> hosts;
        for (std::size_t i = 0; i < exports; ++i)
            hosts.emplace_back(Export, std::cref(paths[i]), std::ref(inputs[i]), viaFacade);
        for (std::thread& host : hosts)
            host.join();
        const double elapsed = Since(start);
        state.SetIterationTime(elapsed);
        wall += elapsed;
        cpu += ProcessCpuSeconds() - startCpu;
    }
    const auto runs = static_cast<double>(state.iterations());
    const auto n = static_cast<double>(exports);
    state.counters["input_x"] = n * static_cast<double>(seconds) * runs / wall;
    state.counters["cpu_ms"] = 1e3 * cpu / runs / n;
    state.counters["mb_each"] = static_cast<double>(StatusKb("VmHWM") - startKb) / 1024 / n;
    for (const std::string& path : paths)
        std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(Concurrent, bare, false)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Concurrent, facade, true)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
