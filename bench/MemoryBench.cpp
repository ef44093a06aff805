// bench_memory [--minutes=1,10,60] [--runs=3] [--mbits=8] [--audio-rate=48000]
//              [--audio-kbits=128] [--smoke]
//
// Peak resident memory and throughput of long video + audio exports (1080p25
// H.264-sized packets with ADTS AAC, copied into MP4), through the
// audio/video facade and through the bare libavformat loop, for each length
// of input. Every export runs in a process of its own (this program started
// again with --child), so that each peak (VmHWM) is its own.
//
// The host makes each one-second batch just before handing it over and keeps
// at most one batch waiting behind the one being written: it is fed as fast as
// the worker takes the batches, never piling up the input. The host's packet
// bytes are counted from allocation to free (HostBytes.cpp replaces operator
// new and delete), and a sampler reads the resident size every 2 ms together
// with the bytes queued at that moment. Reported: the peak resident size
// less the bytes queued at the time, split into shared-library pages and
// private memory, and VmHWM as the kernel counts it.
//
// Scaling: time per minute of input and peak memory at every length. The
// cost grows linearly when every further minute costs the same; the average
// per minute of a short input also carries the once-per-file set-up.
//
// --smoke exports five seconds once per side.

#include "BenchSupport.h"
#include "HostBytes.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace
{
using namespace Bench;

struct Options
{
    std::vector<double> minutes{1, 10, 60};
    int runs = 3;
    double mbits = 8;
    int audioRate = 48000;
    double audioKbits = 128;
    bool smoke = false;
};

// What one child reports, as "name=value" words on a line starting "=".
using Figures = std::map<std::string, double>;

struct Resident
{
    double totalKb = 0; // VmRSS
    double anonKb = 0;  // RssAnon: heaps, stacks, private data
    double fileKb = 0;  // RssFile: pages of the program and its shared libraries
};

Resident ReadResident()
{
    Resident now;
    std::ifstream status("/proc/self/status");
    std::string key;
    double value = 0;
    while (status >> key)
    {
        if (key == "VmRSS:" || key == "RssAnon:" || key == "RssFile:")
        {
            status >> value;
            (key == "VmRSS:" ? now.totalKb : key == "RssAnon:" ? now.anonKb : now.fileKb) = value;
        }
        status.ignore(1 << 10, '\n');
    }
    return now;
}

// Reads the resident size every 2 ms with the host bytes queued at that moment.
class Sampler
{
public:
    Sampler()
        : m_thread([this] { Loop(); })
    {
    }
    ~Sampler() { Stop(); }
    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    // The figures below are read only after this.
    void Stop()
    {
        m_done = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    Resident atMax;            // the sample with the largest VmRSS
    double queuedAtMaxKb = 0;  // host bytes queued at that sample
    double maxLessQueuedKb = 0;     // largest VmRSS less the bytes queued at the time
    double maxAnonLessQueuedKb = 0; // largest RssAnon less the bytes queued at the time
    double maxQueuedKb = 0;

private:
    void Loop()
    {
        while (!m_done)
        {
            const double queued = static_cast<double>(HostBytesLive()) / 1024;
            const Resident now = ReadResident();
            if (now.totalKb > atMax.totalKb)
            {
                atMax = now;
                queuedAtMaxKb = queued;
            }
            maxLessQueuedKb = std::max(maxLessQueuedKb, now.totalKb - queued);
            maxAnonLessQueuedKb = std::max(maxAnonLessQueuedKb, now.anonKb - queued);
            maxQueuedKb = std::max(maxQueuedKb, queued);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// Makes the input one second at a time: packets sized like those of the
// copy benchmark, their payloads cut from a small random pool (the muxer only
// copies them, and a pool as large as the input would itself be resident).
class Source
{
public:
    explicit Source(const Options& options)
        : m_rate(options.audioRate), m_pool(RandomBytes(1 << 20, 3))
    {
        for (const Bytes& packet : SyntheticH264(50, options.mbits))
            m_videoSizes.push_back(packet.size());
        for (const Bytes& packet : SyntheticAdts(64, options.audioRate, options.audioKbits))
            m_audioSizes.push_back(packet.size());
    }

    // The batch for one second of input; the first of each export is 0.
    HostBatch Next(std::size_t second)
    {
        const CountHostBytes counting;
        if (second == 0)
            m_audio = 0;
        HostBatch batch;
        const std::size_t first = second * kVideoFps;
        const std::size_t end = first + kVideoFps;
        batch.video.reserve(kVideoFps);
        for (std::size_t i = first; i < end; ++i)
        {
            const std::size_t size = m_videoSizes[i % m_videoSizes.size()];
            auto packet = std::make_unique<Mpeg::MediaPacket>();
            packet->data = Cut(size, i);
            const auto nalSize = static_cast<std::uint32_t>(size - 4);
            const std::uint8_t start[] = {static_cast<std::uint8_t>(nalSize >> 24), static_cast<std::uint8_t>(nalSize >> 16),
                                          static_cast<std::uint8_t>(nalSize >> 8), static_cast<std::uint8_t>(nalSize),
                                          static_cast<std::uint8_t>(i % m_videoSizes.size() == 0 ? 0x65 : 0x41)};
            std::copy(std::begin(start), std::end(start), packet->data.begin());
            packet->timestamp = VideoTime(i);
            batch.bytes += size;
            batch.video.push_back(std::move(packet));
        }
        for (; AudioTime(m_audio, m_rate) < VideoTime(end); ++m_audio)
        {
            const std::size_t size = m_audioSizes[m_audio % m_audioSizes.size()];
            auto packet = std::make_unique<Mpeg::MediaPacket>();
            packet->data = Cut(size, m_audio);
            const Bytes header = AdtsHeader(m_rate, size - 7);
            std::copy(header.begin(), header.end(), packet->data.begin());
            packet->data[7] &= 0x1F; // a single channel element, never an ADTS sync word
            packet->timestamp = AudioTime(m_audio, m_rate);
            batch.bytes += size;
            batch.audio.push_back(std::move(packet));
        }
        return batch;
    }

private:
    Bytes Cut(std::size_t size, std::size_t index) const
    {
        const std::size_t at = (index * 4099) % (m_pool.size() - size);
        return Bytes(m_pool.begin() + static_cast<std::ptrdiff_t>(at),
                     m_pool.begin() + static_cast<std::ptrdiff_t>(at + size));
    }

    int m_rate;
    std::vector<std::size_t> m_videoSizes; // one GOP, repeated
    std::vector<std::size_t> m_audioSizes;
    Bytes m_pool;
    std::size_t m_audio = 0;
};

// Waits until the host's queued bytes are at most `limit`. The worker has a
// whole batch (about a millisecond of work) queued meanwhile, so polling
// every half millisecond never leaves it idle.
void WaitForQueueBelow(std::int64_t limit)
{
    while (HostBytesLive() > limit)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
}

// One export in this process, which has done nothing else of note.
Figures Child(const Options& options, double minutes, bool viaFacade, const std::string& path)
{
    av_log_set_level(AV_LOG_ERROR);
    const auto seconds = static_cast<std::size_t>(minutes * 60);
    CopyInput description; // what OpenCopyExport needs: the first audio header and the rate
    description.audioRate = options.audioRate;
    description.audio.push_back(SyntheticAdts(1, options.audioRate, options.audioKbits).front());

    Source source(options);
    std::shared_ptr<Mpeg::IFfMpegFacade> facade;
    if (viaFacade)
        facade = Mpeg::IFfMpegFacade::Create(true);
    const Resident baseline = ReadResident();
    std::int64_t fileSize = 0;
    std::size_t packets = 0, bytes = 0;
    Sampler sampler;
    const Sample run = Measure([&] {
        std::unique_ptr<BareWriter> bare;
        if (viaFacade)
            OpenCopyExport(*facade, path, description);
        else
            bare = std::make_unique<BareWriter>(path, true, options.audioRate);
        std::int64_t previous = 0;
        for (std::size_t s = 0; s < seconds; ++s)
        {
            const std::int64_t before = HostBytesMadeHere();
            HostBatch batch = source.Next(s);
            // Payloads, packet records and lists: all the host hands over.
            const std::int64_t size = HostBytesMadeHere() - before;
            packets += batch.video.size() + batch.audio.size();
            bytes += batch.bytes;
            if (!viaFacade)
            {
                bare->Write(batch);
                continue;
            }
            // Everything older than the previous batch has been written.
            WaitForQueueBelow(size + previous);
            Add(*facade, batch, true);
            previous = size;
        }
        fileSize = viaFacade ? facade->FinishMediaFile() : bare->Finish();
    });
    sampler.Stop();
    std::filesystem::remove(path);
    return Figures{{"wall", run.wall},
                   {"cpu", run.cpu},
                   {"system", run.system},
                   {"packets", static_cast<double>(packets)},
                   {"bytes", static_cast<double>(bytes)},
                   {"file", static_cast<double>(fileSize)},
                   {"baseline_kb", baseline.totalKb},
                   {"baseline_anon_kb", baseline.anonKb},
                   {"baseline_file_kb", baseline.fileKb},
                   {"hwm_kb", static_cast<double>(StatusKb("VmHWM"))},
                   {"max_rss_kb", sampler.atMax.totalKb},
                   {"file_at_max_kb", sampler.atMax.fileKb},
                   {"queued_at_max_kb", sampler.queuedAtMaxKb},
                   {"max_less_queued_kb", sampler.maxLessQueuedKb},
                   {"max_anon_less_queued_kb", sampler.maxAnonLessQueuedKb},
                   {"max_queued_kb", sampler.maxQueuedKb}};
}

Figures ParseFigures(const std::string& output)
{
    Figures figures;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
    {
        if (line.rfind("= ", 0) != 0)
            continue;
        std::istringstream words(line.substr(2));
        for (std::string word; words >> word;)
        {
            const std::size_t equals = word.find('=');
            figures[word.substr(0, equals)] = std::stod(word.substr(equals + 1));
        }
    }
    return figures;
}

// One export in a fresh process.
Figures RunChild(const Options& options, double minutes, bool viaFacade, const std::string& path)
{
    const CommandRun run = RunCommand({"/proc/self/exe", "--child", "--path=" + path,
                                       "--via=" + std::string(viaFacade ? "facade" : "bare"),
                                       "--minutes=" + Fixed(minutes, 4), "--mbits=" + Fixed(options.mbits, 4),
                                       "--audio-rate=" + std::to_string(options.audioRate),
                                       "--audio-kbits=" + Fixed(options.audioKbits, 4)});
    if (run.status != 0)
        throw std::runtime_error("export of " + Fixed(minutes, 2) + " min failed:\n" + run.log);
    const Figures figures = ParseFigures(run.output);
    if (figures.count("wall") == 0)
        throw std::runtime_error("no figures from the export of " + Fixed(minutes, 2) + " min");
    return figures;
}

// The median of the times and the largest of the memory figures.
Figures Combine(const std::vector<Figures>& runs)
{
    std::map<std::string, std::vector<double>> values;
    for (const Figures& figures : runs)
        for (const auto& [name, value] : figures)
            values[name].push_back(value);
    Figures result;
    for (const auto& [name, list] : values)
    {
        const bool time = name == "wall" || name == "cpu" || name == "system";
        result[name] = time ? Median(list) : Max(list);
    }
    return result;
}

std::string Mb(double kb)
{
    return Fixed(kb / 1024, 1) + " MB";
}

// The larger of two estimates: the largest sampled resident size less the
// bytes queued at that moment, and the kernel's exact peak less the bytes
// queued at the largest sample.
double PeakLessQueuedKb(const Figures& f)
{
    return std::max(f.at("max_less_queued_kb"), f.at("hwm_kb") - f.at("queued_at_max_kb"));
}

std::vector<double> ParseMinutes(const std::string& text)
{
    std::vector<double> minutes;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');)
    {
        std::size_t used = 0;
        const double value = std::stod(item, &used);
        if (used != item.size() || !(value > 0))
            throw std::invalid_argument("bad --minutes item '" + item + "'");
        minutes.push_back(value);
    }
    if (minutes.empty())
        throw std::invalid_argument("--minutes is empty");
    return minutes;
}

int Run(int argc, char** argv)
{
    Args args(argc, argv,
              "usage: bench_memory [--minutes=1,10,60] [--runs=3] [--mbits=8] [--audio-rate=48000] "
              "[--audio-kbits=128] [--smoke]");
    Options options;
    options.smoke = args.Flag("smoke");
    if (options.smoke)
    {
        options.minutes = {5.0 / 60};
        options.runs = 1;
    }
    const bool child = args.Flag("child");
    const std::string via = args.Text("via", "facade");
    const std::string childPath = args.Text("path", "");
    const std::string minutes = args.Text("minutes", "");
    if (!minutes.empty())
        options.minutes = ParseMinutes(minutes);
    options.runs = static_cast<int>(args.Number("runs", options.runs, 1));
    options.mbits = args.Number("mbits", options.mbits, 0.01);
    options.audioRate = static_cast<int>(args.Number("audio-rate", options.audioRate, 7350));
    options.audioKbits = args.Number("audio-kbits", options.audioKbits, 1);
    args.Finish();
    AdtsHeader(options.audioRate, 0); // refuses a rate ADTS has no index for

    if (child)
    {
        const Figures figures = Child(options, options.minutes.front(), via == "facade", childPath);
        std::cout << "=";
        for (const auto& [name, value] : figures)
            std::cout << ' ' << name << '=' << Fixed(value, 6);
        std::cout << '\n';
        return 0;
    }

    const TempDir dir("bench_memory");
    std::cout << "video + audio copy export: 1080p25 H.264-sized at " << Fixed(options.mbits, 1)
              << " Mbit/s + ADTS AAC " << options.audioRate << " Hz " << Fixed(options.audioKbits, 0)
              << " kbit/s, into MP4 on " << (dir.Tmpfs() ? "tmpfs" : "disk") << "; " << options.runs
              << " exports each, one process per export; times are medians, memory the largest\n\n"
              << "  all sizes in MB; 'queued' is host packet data handed over and not yet freed\n"
              << "  minutes  via     wall s  cpu s (kernel)  ms/min  packets/s   VmHWM  RSS-queued  anon-queued"
                 "  libraries  queued at peak/max\n";
    // Rounds of every length and both writers, so that a change in the
    // machine's load over time falls on all of them alike.
    std::map<std::pair<double, bool>, std::vector<Figures>> runs;
    for (int r = 0; r < options.runs; ++r)
        for (const double minutes : options.minutes)
            for (const bool viaFacade : {true, false})
                runs[{minutes, viaFacade}].push_back(RunChild(options, minutes, viaFacade, dir.File("long.mp4")));
    std::map<std::pair<double, bool>, Figures> all;
    for (const double minutes : options.minutes)
        for (const bool viaFacade : {true, false})
        {
            const Figures f = Combine(runs.at({minutes, viaFacade}));
            all[{minutes, viaFacade}] = f;
            auto mb = [&f](const char* name) { return Fixed(f.at(name) / 1024, 1); };
            std::cout << "  " << std::setw(7) << Fixed(minutes, 2) << "  " << std::left << std::setw(6)
                      << (viaFacade ? "facade" : "bare") << std::right << std::setw(7) << Fixed(f.at("wall"), 2)
                      << std::setw(7) << Fixed(f.at("cpu"), 2) << " (" << std::setw(5) << Fixed(f.at("system"), 2)
                      << ")" << std::setw(8) << Fixed(f.at("wall") * 1e3 / minutes, 0) << std::setw(11)
                      << Fixed(f.at("packets") / f.at("wall"), 0) << std::setw(8) << mb("hwm_kb") << std::setw(12)
                      << mb("max_less_queued_kb") << std::setw(13) << mb("max_anon_less_queued_kb") << std::setw(11)
                      << mb("file_at_max_kb") << std::setw(10) << mb("queued_at_max_kb") << "/" << mb("max_queued_kb")
                      << '\n';
        }
    std::cout << '\n';

    const double longest = options.minutes.back();
    const Figures& facade = all.at({longest, true});
    const Figures& bare = all.at({longest, false});
    const std::string path = "memory, " + Fixed(longest, longest < 1 ? 2 : 0) + " min video + audio";
    const double figureMb = PeakLessQueuedKb(facade) / 1024;
    Result(path, "peak RSS - queued host bytes", Fixed(figureMb, 1) + " MB", Mb(PeakLessQueuedKb(bare)) + " (bare loop)",
           Fixed(PeakLessQueuedKb(facade) / PeakLessQueuedKb(bare), 2), "<= 32 MB",
           options.smoke ? "smoke" : Verdict(figureMb <= 32));
    Result(path, "  of which shared-library pages", Mb(facade.at("file_at_max_kb")),
           Mb(bare.at("file_at_max_kb")) + " (bare loop)", "", "", "");
    Result(path, "  of which private (RssAnon - queued)", Mb(facade.at("max_anon_less_queued_kb")),
           Mb(bare.at("max_anon_less_queued_kb")) + " (bare loop)", "", "", "");
    Result(path, "VmHWM as measured (queued at the peak)",
           Mb(facade.at("hwm_kb")) + " (" + Mb(facade.at("queued_at_max_kb")) + ")",
           Mb(bare.at("hwm_kb")) + " (" + Mb(bare.at("queued_at_max_kb")) + ", bare loop)", "", "", "");

    if (options.minutes.size() < 2)
        return 0;
    // Linear growth: a further minute of input costs no more late in a long
    // export than early on. The shortest input also carries the once-per-file
    // set-up, so the marginal costs between lengths are compared, not the
    // averages.
    std::string lengths, average, bareAverage, cpu, memory, bareMemory, marginalWall, marginalCpu;
    std::vector<double> slopes;
    for (std::size_t i = 0; i < options.minutes.size(); ++i)
    {
        const double minutes = options.minutes[i];
        const Figures& f = all.at({minutes, true});
        const Figures& b = all.at({minutes, false});
        const std::string sep = i ? " / " : "";
        lengths += (i ? "/" : "") + Fixed(minutes, minutes < 1 ? 2 : 0);
        average += sep + Fixed(f.at("wall") * 1e3 / minutes, 0);
        bareAverage += sep + Fixed(b.at("wall") * 1e3 / minutes, 0);
        cpu += sep + Fixed(f.at("cpu") * 1e3 / minutes, 0);
        memory += sep + Fixed(PeakLessQueuedKb(f) / 1024, 1);
        bareMemory += sep + Fixed(PeakLessQueuedKb(b) / 1024, 1);
        if (i == 0)
            continue;
        const Figures& p = all.at({options.minutes[i - 1], true});
        const double added = minutes - options.minutes[i - 1];
        marginalWall += (marginalWall.empty() ? "" : " / ") + Fixed((f.at("wall") - p.at("wall")) * 1e3 / added, 0);
        slopes.push_back((f.at("cpu") - p.at("cpu")) / added);
        marginalCpu += (marginalCpu.empty() ? "" : " / ") + Fixed(slopes.back() * 1e3, 0);
    }
    const std::string scaling = "scaling, " + lengths + " min";
    // CPU time: on a shared machine the wall time also measures the neighbours.
    const double growth = slopes.back() / slopes.front();
    Result(scaling, "wall ms per input minute", average, bareAverage + " (bare loop)", "", "", "");
    Result(scaling, "wall ms per further minute, between lengths", marginalWall, "", "", "", "");
    Result(scaling, "CPU ms per input minute", cpu, "", "", "", "");
    Result(scaling, "CPU ms per further minute, between lengths", marginalCpu, "",
           slopes.size() > 1 ? Fixed(growth, 2) + " last/first" : "", "no faster than linear: <= 1.25",
           options.smoke || slopes.size() < 2 ? "" : Verdict(growth <= 1.25));
    Result(scaling, "peak RSS - queued, MB", memory, bareMemory + " (bare loop)", "", "", "");
    // The facade's host here waits for the worker and the bare loop does not:
    // bench_copy_export compares their throughput.
    Result(scaling, "throughput at " + Fixed(longest, 0) + " min, packets/s (paced host)",
           Fixed(facade.at("packets") / facade.at("wall"), 0), Fixed(bare.at("packets") / bare.at("wall"), 0) + " (bare loop)",
           "", "", "");
    return 0;
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
        std::cerr << "bench_memory: " << error.what() << '\n';
        return 2;
    }
}
