// Peak memory of exports, one export per benchmark, as counters:
// peak_mb is the process's VmHWM after the export, added_mb what the export
// added to the resident size it started from. VmHWM covers the whole
// process, so run each benchmark in a process of its own
// (--benchmark_filter, as bench/run_all.sh does).
//   LongExport: BENCH_MINUTES (default 60) of the copy input with audio,
//     through Create(true) and through the bare loop; facade_1min: one
//     minute, for the process's CPU time a minute (cpu_s_per_min) against
//     the long export's. The video is 2 Mbit/s:
//     the muxer's index grows per packet whatever its size, and the file stays
//     small. The host hands over one second at a time and, on the facade,
//     waits until the worker has written it (the estimate waits) before making
//     the next, so that on both sides one second of the host's packets exists
//     at a time.
//   SilentAudio: BENCH_SILENT_MINUTES (default 10) of the copy input at
//     8 Mbit/s through Create(true), the audio lists empty after the first
//     second (silent) or not (steady): the video must not wait in memory for
//     audio that does not come.

#include "BenchInput.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace
{
using namespace Bench;

void Report(benchmark::State& state, long startKb)
{
    const long peakKb = StatusKb("VmHWM");
    state.counters["peak_mb"] = static_cast<double>(peakKb) / 1024;
    state.counters["added_mb"] = static_cast<double>(peakKb - startKb) / 1024;
}

void LongExport(benchmark::State& state, bool viaFacade, double minutes)
{
    if (minutes == 0)
        minutes = Workload("BENCH_MINUTES", 60, 0.05);
    const auto seconds = static_cast<std::size_t>(minutes * 60);
    const std::string path = OutputPath("long.mp4");
    CopySource source(2, true);
    const auto facade = viaFacade ? Mpeg::IFfMpegFacade::Create(true) : nullptr;
    const long startKb = StatusKb("VmRSS");
    const double startCpu = ProcessCpuSeconds();
    for (auto _ : state)
    {
        std::unique_ptr<BareCopy> bare;
        viaFacade ? OpenCopy(*facade, path, true) : bare.reset(new BareCopy(path, true));
        for (std::size_t s = 0; s < seconds; ++s)
        {
            Batch batch = source.Next();
            viaFacade ? Add(*facade, batch, true) : bare->Write(batch);
            if (facade)
                facade->EstimateFileSize(0, 0); // waits for the worker
        }
        viaFacade ? facade->FinishMediaFile() : bare->Finish();
    }
    state.counters["cpu_s_per_min"] = (ProcessCpuSeconds() - startCpu) / minutes;
    Report(state, startKb);
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(LongExport, bare, false, 0.0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(LongExport, facade, true, 0.0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(LongExport, facade_1min, true, 1.0)->Iterations(1)->Unit(benchmark::kSecond);

void SilentAudio(benchmark::State& state, bool silent)
{
    const auto seconds = static_cast<std::size_t>(Workload("BENCH_SILENT_MINUTES", 10, 0.05) * 60);
    const std::string path = OutputPath("silent.mp4");
    CopySource source(8, true);
    const auto facade = Mpeg::IFfMpegFacade::Create(true);
    const long startKb = StatusKb("VmRSS");
    for (auto _ : state)
    {
        OpenCopy(*facade, path, true);
        for (std::size_t s = 0; s < seconds; ++s)
        {
            Batch batch = source.Next();
            if (silent && s > 0)
                batch.audio.clear();
            Add(*facade, batch, true);
            facade->EstimateFileSize(0, 0); // waits for the worker
        }
        facade->FinishMediaFile();
    }
    Report(state, startKb);
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(SilentAudio, silent, true)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(SilentAudio, steady, false)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
