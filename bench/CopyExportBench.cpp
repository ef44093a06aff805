// bench_copy_export [--seconds=60] [--runs=15] [--mbits=8] [--audio-rate=48000]
//                   [--audio-kbits=128] [--only=video|av|latency] [--smoke]
//
// The copy paths against a bare libavformat loop writing the same packets to
// the same MP4: video only (Create(false), AddPacketsVideo) and video with
// ADTS AAC (Create(true), AddPacketsAudioVideo, the bare loop stripping the
// headers with aac_adtstoasc). Both sides start from the host's own copy of
// the packets, made before the clock starts, and release each packet once
// written. Runs alternate; the ratio is the median over pairs of neighbouring
// runs, by wall time and, as checks on a busy machine, by CPU time and
// between the fastest runs. The files must hold the same packets:
// per stream the same count, bytes, and hashes of the payloads and of the
// timestamps. One-second files then show the cost of a file whatever its
// length (for audio it includes the encoder that makes the silent packet).
//
// Then the host's side: the time AddPacketsVideo and AddPacketsAudioVideo
// take for 25-packet batches, in bursts of five calls with a pause in which
// the worker drains and ends. The first call of a burst joins the ended
// worker and starts a thread; it is reported on its own.
//
// --only runs one section (for profiling); --smoke runs two seconds once and
// checks the files only.

#include "BenchSupport.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <stdexcept>

namespace
{
using namespace Bench;

constexpr std::size_t kBurst = 5;

struct Options
{
    double seconds = 60;
    int runs = 15;
    double mbits = 8;
    int audioRate = 48000;
    double audioKbits = 128;
    std::string only; // "video", "av", "latency" or empty for everything
    bool smoke = false;
};

struct Latencies
{
    std::vector<double> queued;     // microseconds; a worker was running
    std::vector<double> burstStart; // microseconds; no worker, queue empty
};

void PrintRuns(const char* name, const std::vector<Sample>& runs, std::size_t packets, std::size_t bytes)
{
    const double wall = Median(Walls(runs));
    std::cout << "  " << std::left << std::setw(20) << name << std::right << std::setw(9) << Fixed(wall * 1e3, 1)
              << std::setw(9) << Fixed(Median(Cpus(runs)) * 1e3, 1) << std::setw(11)
              << Fixed(static_cast<double>(packets) / wall, 0) << std::setw(8)
              << Fixed(static_cast<double>(bytes) / wall / 1e6, 0) << "   (wall ms:";
    for (const Sample& s : runs)
        std::cout << ' ' << Fixed(s.wall * 1e3, 1);
    std::cout << ")\n";
}

// Same streams, same packets, same payloads.
bool Equivalent(const std::string& bare, const std::string& facade, bool withAudio)
{
    const std::vector<StreamSummary> a = Summarize(bare);
    const std::vector<StreamSummary> b = Summarize(facade);
    bool same = a.size() == b.size();
    for (const AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO})
    {
        if (type == AVMEDIA_TYPE_AUDIO && !withAudio)
            continue;
        const StreamSummary x = StreamOf(a, type);
        const StreamSummary y = StreamOf(b, type);
        const bool match = x.packets > 0 && x.codec == y.codec && x.packets == y.packets && x.bytes == y.bytes &&
                           x.hash == y.hash && x.timing == y.timing;
        std::cout << "  " << av_get_media_type_string(type) << ": bare " << Describe(x) << ", facade " << Describe(y)
                  << (match ? ", same payloads and timestamps" : ", DIFFERENT") << '\n';
        same = same && match;
    }
    return same;
}

struct Runs
{
    std::vector<Sample> bare;
    std::vector<Sample> facade;
};

// Both writers on the same input, alternately, after one warm-up each.
Runs Alternate(const CopyInput& input, bool withAudio, int runs, bool warmUp, const std::string& barePath,
               const std::string& facadePath)
{
    std::shared_ptr<Mpeg::IFfMpegFacade> facade = Mpeg::IFfMpegFacade::Create(withAudio);
    auto bareRun = [&] {
        std::vector<HostBatch> batches = MakeBatches(input);
        return Measure([&] {
            BareWriter writer(barePath, withAudio, input.audioRate);
            for (HostBatch& batch : batches)
                writer.Write(batch);
            writer.Finish();
        });
    };
    auto facadeRun = [&] {
        std::vector<HostBatch> batches = MakeBatches(input);
        return Measure([&] {
            OpenCopyExport(*facade, facadePath, input);
            for (HostBatch& batch : batches)
                Add(*facade, batch, withAudio);
            facade->FinishMediaFile();
        });
    };
    if (warmUp)
    {
        bareRun();
        facadeRun();
    }
    Runs result;
    for (int r = 0; r < runs; ++r)
    {
        result.bare.push_back(bareRun());
        result.facade.push_back(facadeRun());
    }
    return result;
}

// Returns false when the files differ.
bool Throughput(const Options& options, const TempDir& dir, bool withAudio)
{
    const CopyInput input = MakeCopyInput(options.seconds, options.mbits, withAudio, options.audioRate, options.audioKbits);
    const std::size_t packets = input.video.size() + input.audio.size();
    const std::size_t bytes = TotalBytes(input.video) + TotalBytes(input.audio);
    const std::string barePath = dir.File(withAudio ? "bare-av.mp4" : "bare-v.mp4");
    const std::string facadePath = dir.File(withAudio ? "facade-av.mp4" : "facade-v.mp4");
    const char* name = withAudio ? "copy, video + audio" : "copy, video only";

    std::cout << name << ": " << input.video.size() << " video packets";
    if (withAudio)
        std::cout << " + " << input.audio.size() << " ADTS AAC frames (" << options.audioRate << " Hz, "
                  << Fixed(options.audioKbits, 0) << " kbit/s)";
    std::cout << ", " << Fixed(static_cast<double>(bytes) / 1e6, 1) << " MB, " << options.runs
              << " runs per side after one warm-up\n";

    const Runs runs = Alternate(input, withAudio, options.runs, !options.smoke, barePath, facadePath);
    std::cout << "  median                wall ms   cpu ms  packets/s    MB/s\n";
    PrintRuns("bare libavformat", runs.bare, packets, bytes);
    PrintRuns("facade", runs.facade, packets, bytes);
    const double bareWall = Median(Walls(runs.bare));
    const double facadeWall = Median(Walls(runs.facade));
    const double ratio = PairedRatio(Walls(runs.bare), Walls(runs.facade));
    const double cpuRatio = PairedRatio(Cpus(runs.bare), Cpus(runs.facade));
    const double fastestRatio = Min(Walls(runs.bare)) / Min(Walls(runs.facade));
    std::cout << "  throughput facade/bare, median over pairs of runs: " << Fixed(ratio, 3) << " by wall time, "
              << Fixed(cpuRatio, 3) << " by CPU time; fastest runs " << Fixed(fastestRatio, 3) << "\n";

    bool same = Equivalent(barePath, facadePath, withAudio);
    if (!withAudio)
    {
        const bool identical = SameContents(barePath, facadePath);
        std::cout << "  files " << (identical ? "byte-identical" : "NOT byte-identical") << '\n';
        same = same && identical;
    }

    const std::string perSecond = Fixed(static_cast<double>(packets) / facadeWall / 1e3, 1) + "k packets/s";
    const std::string barePerSecond = Fixed(static_cast<double>(packets) / bareWall / 1e3, 1) + "k (bare loop)";
    const std::string verdict = options.smoke ? "smoke" : Verdict(ratio >= 0.95);
    Result(name, "throughput, " + std::to_string(options.runs) + " runs: wall", perSecond, barePerSecond,
           Fixed(ratio, 3), ">= 0.95", verdict);
    Result(name, "  by CPU time", Fixed(Median(Cpus(runs.facade)) * 1e3, 1) + " ms",
           Fixed(Median(Cpus(runs.bare)) * 1e3, 1) + " ms (bare loop)", Fixed(cpuRatio, 3), ">= 0.95",
           options.smoke ? "smoke" : Verdict(cpuRatio >= 0.95));
    Result(name, "  fastest run, wall", Fixed(Min(Walls(runs.facade)) * 1e3, 1) + " ms",
           Fixed(Min(Walls(runs.bare)) * 1e3, 1) + " ms (bare loop)", Fixed(fastestRatio, 3), ">= 0.95",
           options.smoke ? "smoke" : Verdict(fastestRatio >= 0.95));

    if (!options.smoke)
    {
        // What a file costs whatever its length: opening, the header, the
        // trailer, and for audio the encoder that makes the silent packet.
        CopyInput second = input;
        second.video.resize(kVideoFps);
        second.audio.resize(std::min(second.audio.size(), static_cast<std::size_t>(input.audioRate / kAacFrame)));
        const Runs once = Alternate(second, withAudio, options.runs, true, barePath, facadePath);
        const double wall = Median(Walls(once.facade)) - Median(Walls(once.bare));
        const double cpu = Median(Cpus(once.facade)) - Median(Cpus(once.bare));
        std::cout << "  one-second files: bare " << Fixed(Median(Walls(once.bare)) * 1e3, 2) << " ms, facade "
                  << Fixed(Median(Walls(once.facade)) * 1e3, 2) << " ms wall (CPU "
                  << Fixed(Median(Cpus(once.bare)) * 1e3, 2) << " and " << Fixed(Median(Cpus(once.facade)) * 1e3, 2)
                  << " ms)\n";
        Result(name, "per-file cost on top (one-second files)", Fixed(wall * 1e3, 2) + " ms wall, " +
                   Fixed(cpu * 1e3, 2) + " ms CPU", "", "", "", "");
    }
    Result(name, "files equivalent", same ? "yes" : "NO", "", "", "same packets", Verdict(same));
    std::cout << '\n';
    return same;
}

void LatencyRun(const CopyInput& input, bool withAudio, const std::string& path, std::size_t baselineThreads,
                Latencies& latencies)
{
    std::shared_ptr<Mpeg::IFfMpegFacade> facade = Mpeg::IFfMpegFacade::Create(withAudio);
    std::vector<HostBatch> batches = MakeBatches(input);
    OpenCopyExport(*facade, path, input);
    for (std::size_t i = 0; i < batches.size(); ++i)
    {
        const bool first = i % kBurst == 0;
        if (first)
            WaitForWorkerExit(baselineThreads);
        const auto t0 = Clock::now();
        Add(*facade, batches[i], withAudio);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        (first ? latencies.burstStart : latencies.queued).push_back(us);
    }
    facade->FinishMediaFile();
}

std::string Spread(const std::vector<double>& us)
{
    return "p50 " + Fixed(Percentile(us, 0.5), 2) + ", p99 " + Fixed(Percentile(us, 0.99), 2) + ", max " +
           Fixed(Max(us), 2) + " us";
}

void HostSide(const Options& options, const TempDir& dir, bool withAudio, std::size_t baselineThreads)
{
    const CopyInput input = MakeCopyInput(options.seconds, options.mbits, withAudio, options.audioRate, options.audioKbits);
    const char* call = withAudio ? "AddPacketsAudioVideo" : "AddPacketsVideo";
    Latencies latencies;
    const int runs = options.smoke ? 1 : std::max(1, options.runs / 3);
    for (int r = 0; r < runs; ++r)
        LatencyRun(input, withAudio, dir.File("latency.mp4"), baselineThreads, latencies);
    std::cout << call << ", 25 video packets" << (withAudio ? " + their audio" : "") << " per call, " << runs
              << " paced runs, bursts of " << kBurst << " calls:\n"
              << "  while a worker runs  n=" << latencies.queued.size() << "  " << Spread(latencies.queued) << '\n'
              << "  first of a burst     n=" << latencies.burstStart.size() << "  " << Spread(latencies.burstStart)
              << '\n';
    if (baselineThreads == 0)
        std::cout << "  (no /proc/self/task: bursts separated by fixed pauses only)\n";
    const double p99 = Percentile(latencies.queued, 0.99);
    Result(std::string("host side, ") + call, "latency, worker running", Spread(latencies.queued), "", "",
           "p99 <= 10 us", options.smoke ? "smoke" : Verdict(p99 <= 10));
    Result(std::string("host side, ") + call, "latency, first of burst (thread start)", Spread(latencies.burstStart),
           "", "", "reported only", "");
}

int Run(int argc, char** argv)
{
    Args args(argc, argv,
              "usage: bench_copy_export [--seconds=60] [--runs=15] [--mbits=8] [--audio-rate=48000] "
              "[--audio-kbits=128] [--only=video|av|latency] [--smoke]");
    Options options;
    options.smoke = args.Flag("smoke");
    if (options.smoke)
    {
        options.seconds = 2;
        options.runs = 1;
    }
    options.seconds = args.Number("seconds", options.seconds, 1);
    options.runs = static_cast<int>(args.Number("runs", options.runs, 1));
    options.mbits = args.Number("mbits", options.mbits, 0.01);
    options.audioRate = static_cast<int>(args.Number("audio-rate", options.audioRate, 7350));
    options.audioKbits = args.Number("audio-kbits", options.audioKbits, 1);
    options.only = args.Text("only", "");
    args.Finish();
    if (!options.only.empty() && options.only != "video" && options.only != "av" && options.only != "latency")
        throw std::invalid_argument("--only takes video, av or latency");
    AdtsHeader(options.audioRate, 0); // refuses a rate ADTS has no index for

    av_log_set_level(AV_LOG_ERROR);
    const std::size_t baselineThreads = ThreadCount();
    const TempDir dir("bench_copy_export");
    std::cout << "1080p25 H.264-sized packets at " << Fixed(options.mbits, 1) << " Mbit/s, " << options.seconds
              << " s; output " << dir.Path().string() << (dir.Tmpfs() ? " (tmpfs)" : " (not tmpfs: disk included)")
              << "\n\n";
    auto wanted = [&options](const char* name) { return options.only.empty() || options.only == name; };
    bool same = true;
    if (wanted("video"))
        same = Throughput(options, dir, false);
    if (wanted("av"))
        same = Throughput(options, dir, true) && same;
    if (wanted("latency"))
    {
        HostSide(options, dir, false, baselineThreads);
        HostSide(options, dir, true, baselineThreads);
    }
    return same ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    try
    {
        return Run(argc, argv);
    }
    catch (const std::exception& error)
    {
        std::cerr << "bench_copy_export: " << error.what() << '\n';
        return 2;
    }
}
