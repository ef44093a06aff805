// Peak memory of exports, one export per benchmark, as counters:
// peak_mb is the process's VmHWM after the export, added_mb what the export
// added to the resident size it started from. VmHWM covers the whole
// process, so run each benchmark in a process of its own
// (--benchmark_filter, as bench/run_all.sh does).
//   LongExport: BENCH_MINUTES (default 60) of the copy input with audio,
//     through Create(true) and through the bare loop. The video is 2 Mbit/s:
//     the muxer's index grows per packet whatever its size, and the file stays
//     small. The host hands over one second at a time and, on the facade,
//     waits for the worker to end first, so at most one second is queued.
//   HeldBack: BENCH_HELD_SECONDS (default 120) of 640x480 MJPEG with audio
//     in the first second only, through Create(true): the video waits for
//     audio that never comes until the file is finished.

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

void LongExport(benchmark::State& state, bool viaFacade)
{
    const auto seconds = static_cast<std::size_t>(Workload("BENCH_MINUTES", 60, 0.05) * 60);
    const std::string path = OutputPath("long.mp4");
    CopySource source(2, true);
    WaitForWorkerExit(); // counts this process's threads before any worker
    const auto facade = Mpeg::IFfMpegFacade::Create(true);
    const long startKb = StatusKb("VmRSS");
    for (auto _ : state)
    {
        std::unique_ptr<BareCopy> bare;
        if (viaFacade)
            OpenCopy(*facade, path, true);
        else
            bare = std::make_unique<BareCopy>(path, true);
        for (std::size_t s = 0; s < seconds; ++s)
        {
            Batch batch = source.Next();
            if (!viaFacade)
            {
                bare->Write(batch);
                continue;
            }
            WaitForWorkerExit();
            Add(*facade, batch, true);
        }
        viaFacade ? facade->FinishMediaFile() : bare->Finish();
    }
    Report(state, startKb);
    std::filesystem::remove(path);
}
BENCHMARK_CAPTURE(LongExport, bare, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(LongExport, facade, true)->Iterations(1)->Unit(benchmark::kSecond);

void HeldBack(benchmark::State& state)
{
    const auto seconds = static_cast<std::size_t>(Workload("BENCH_HELD_SECONDS", 120, 3));
    const std::string path = OutputPath("held.mp4");
    // One second of pictures, shown again every second.
    const TestMedia::EncodedStream mjpeg = TestMedia::EncodeVideo("mjpeg", 640, 480, kFps);
    CopySource audio(1, true);
    WaitForWorkerExit();
    const auto facade = Mpeg::IFfMpegFacade::Create(true);
    const long startKb = StatusKb("VmRSS");
    for (auto _ : state)
    {
        facade->StartInitMediaFile(TestMedia::Wide(path));
        facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, mjpeg, kFps, kHostStart));
        facade->InitStreamAudio(AacRecord());
        facade->FinishInitMediaFile();
        for (std::size_t s = 0; s < seconds; ++s)
        {
            WaitForWorkerExit();
            facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(mjpeg, VideoTime(s * kFps), kSecond / kFps),
                                         s == 0 ? audio.Next().audio : Mpeg::MediaPacketList{});
        }
        facade->FinishMediaFile();
    }
    Report(state, startKb);
    std::filesystem::remove(path);
}
BENCHMARK(HeldBack)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
