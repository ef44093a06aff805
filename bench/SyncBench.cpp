// An hour of audio from a device whose clock runs 1000 ppm fast or slow
// against the host's, with 20 ms of arrival jitter on its timestamps, and the
// same without drift: the offset of beep against flash at the start and at the
// end (the larger of the two ways players place audio: by timestamps, and as
// one continuous stream), the process's CPU time for the export and its peak
// memory. One export per process (run_all.sh filters), so that VmHWM is the
// export's. Counters: start_ms, end_ms, cpu_s, peak_mb.
//   Drift/<path>/<ppm>: BENCH_DRIFT_MINUTES (default 60) through Create(true):
//     G.711 mu-law 8 kHz copied into MOV (PCM, corrected to the sample) and
//     transcoded into AAC in MP4 (stretched by libswresample), and 48 kHz
//     ADTS AAC copied into MP4 (whole frames).

#include "BenchInput.h"
#include "support/Recording.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>

namespace
{
using namespace Bench;
using Audio = Mpeg::CodecIdAudio;

struct DriftPath
{
    const char* encoder;
    Audio codec;
    int rate;
    const char* container;
};
const DriftPath kMulawCopied{"pcm_mulaw", Audio::PcmMulaw, 8000, "mov"};
const DriftPath kMulawTranscoded{"pcm_mulaw", Audio::PcmMulaw, 8000, "mp4"};
const DriftPath kAacCopied{"aac", Audio::Aac, 48000, "mp4"};

// The larger offset of the two ways, over the flashes in [from, to), in ms.
double WorstOffset(const TestMedia::SyncReport& report, double from, double to)
{
    using TestMedia::SyncReport;
    return 1e3 * std::max(std::abs(SyncReport::Mean(report.byTimestamps, from, to)),
                          std::abs(SyncReport::Mean(report.asStream, from, to)));
}

// The sound of a long recording, made cheaply: `loopSeconds` of it encoded
// once and repeated (the beeps repeat with the host's seconds, so the
// device's samples in the loop must make whole frames).
TestMedia::EncodedStream LoopedSound(const char* encoder, int sampleRate, const TestMedia::Recording& recording,
                                     bool adts, int loopSeconds)
{
    TestMedia::EncodedStream loop =
        TestMedia::EncodeTone(encoder, sampleRate, loopSeconds + 0.1, 1000, adts, true, 1 + recording.drift);
    const double samples = loopSeconds * sampleRate * (1 + recording.drift);
    const auto frames = static_cast<std::size_t>(std::llround(samples / loop.frameSize));
    if (std::abs(samples - static_cast<double>(frames * loop.frameSize)) > 1e-6 || frames + 1 >= loop.packets.size())
        throw std::runtime_error("the loop's samples make no whole number of frames");
    // Frames after an encoder's priming one: the first starts at sample 0,
    // which follows the loop's silent end as it follows the priming silence.
    const std::size_t first = loop.codecId == AV_CODEC_ID_AAC ? 1 : 0;
    TestMedia::EncodedStream sound = loop;
    sound.packets.clear();
    while (static_cast<double>(sound.packets.size() * loop.frameSize) < (recording.seconds + 1) * sampleRate)
        sound.packets.insert(sound.packets.end(), loop.packets.begin() + static_cast<std::ptrdiff_t>(first),
                             loop.packets.begin() + static_cast<std::ptrdiff_t>(first + frames));
    return sound;
}

void Drift(benchmark::State& state, DriftPath path, int ppm)
{
    TestMedia::Recording recording;
    recording.seconds = Workload("BENCH_DRIFT_MINUTES", 60, 0.5) * 60;
    recording.drift = ppm * 1e-6;
    recording.jitter = 0.02;
    // AAC takes long to encode: a loop of 64 s, whose device samples make whole frames at +-1000 ppm.
    const TestMedia::EncodedStream sound =
        path.codec == Audio::Aac ? LoopedSound(path.encoder, path.rate, recording, true, 64)
                                 : TestMedia::RecordedSound(path.encoder, path.rate, recording, false);
    const std::string file = OutputPath(std::string("drift.") + path.container);
    const long startKb = StatusKb("VmRSS");
    double cpu = 0;
    for (auto _ : state)
    {
        const double before = ProcessCpuSeconds();
        auto facade = Mpeg::IFfMpegFacade::Create(true);
        TestMedia::Open(*facade, file, TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, TestMedia::FlashingSecond()),
                        TestMedia::AudioRecord(path.codec, path.rate, sound.packets[0]));
        TestMedia::Play(*facade, recording, sound);
        facade->FinishMediaFile();
        cpu = ProcessCpuSeconds() - before;
    }
    const double peakMb = static_cast<double>(StatusKb("VmHWM") - startKb) / 1024;
    const TestMedia::SyncReport report = TestMedia::MeasureSync(file);
    const double end = recording.seconds;
    state.counters["start_ms"] = WorstOffset(report, 0, std::min(10.0, end));
    state.counters["end_ms"] = WorstOffset(report, std::max(0.0, end - 10), end);
    state.counters["cpu_s"] = cpu;
    state.counters["peak_mb"] = peakMb;
    std::filesystem::remove(file);
}

#define DRIFT(name, path)                                                                                              \
    BENCHMARK_CAPTURE(Drift, name/-1000, path, -1000)->Iterations(1)->Unit(benchmark::kSecond);                        \
    BENCHMARK_CAPTURE(Drift, name/0, path, 0)->Iterations(1)->Unit(benchmark::kSecond);                                \
    BENCHMARK_CAPTURE(Drift, name/1000, path, 1000)->Iterations(1)->Unit(benchmark::kSecond)
DRIFT(mulaw_mov, kMulawCopied);
DRIFT(mulaw_mp4, kMulawTranscoded);
DRIFT(aac_mp4, kAacCopied);

} // namespace

BENCHMARK_MAIN();
