// bench_video_export [seconds=60] [repetitions=15] [mbit/s=8]
//
// Writes one synthetic 1080p25 H.264 packet stream to MP4 in two ways,
// alternately and several times each: with a bare libavformat loop (copy each
// packet into a fresh AVPacket, interleaved write) and through the video-only
// facade in one-second batches. Reports the median throughput of both, their
// ratio, CPU time and page faults, and the host's add-call latency from a
// separate, paced run. Preparing the input (and the facade's per-run copy of
// it) is not timed. Runs of 60 s of input take about 10 ms on tmpfs: use more
// seconds or repetitions when the machine is busy.

#include <mpegexporter/IFfMpegFacade.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace
{
namespace mpeg = Halvaro::Oru::Shared::Export::Mpeg;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFps = 25;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr AVRational kTimeBase{1, kFps};
constexpr std::size_t kGop = 50;      // a key picture every two seconds
constexpr double kKeyWeight = 6.0;    // key pictures are several times larger than the others
constexpr std::size_t kBatchSize = 25; // one host-second per add call
constexpr std::uint64_t kFrameTicks = 10'000'000 / kFps; // host clock: 100-ns units
constexpr std::uint64_t kHostStart = 1'000'000'000'000;  // arbitrary; only differences count
constexpr std::size_t kBurstBatches = 5; // latency run: add calls back to back, then a pause

struct Options
{
    int seconds = 60;
    int repetitions = 15;
    double mbits = 8.0;
};

// ---- FFmpeg handles and results

struct FormatContextDeleter
{
    void operator()(AVFormatContext* context) const noexcept
    {
        if (context->pb)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct PacketDeleter
{
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

void Check(int result, const char* call)
{
    if (result >= 0)
        return;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    throw std::runtime_error(std::string(call) + ": " + text);
}

// ---- Input

using Packets = std::vector<std::vector<std::uint8_t>>;

// An avcC record (4-byte NAL lengths) with placeholder parameter sets. The MP4
// muxer takes an avcC as it is and then copies length-prefixed packets
// unparsed. Without extradata it would take the first packet for Annex B
// parameter sets and rewrite every packet, which this input is not.
const std::vector<std::uint8_t> kAvcC{0x01, 0x64, 0x00, 0x28, 0xFF, 0xE1, 0x00, 0x04, 0x67,
                                      0x64, 0x00, 0x28, 0x01, 0x00, 0x02, 0x68, 0xEE};

// One length-prefixed NAL unit of pseudo-random bytes per packet, sized like a
// constant bitrate camera stream (key pictures every kGop, +-25 % jitter): the
// muxer only copies them, so only the sizes matter.
Packets Synthesize(const Options& options)
{
    const std::size_t count = static_cast<std::size_t>(options.seconds) * kFps;
    const double meanBytes = options.mbits * 1e6 / 8.0 / kFps;
    const double unit = meanBytes * kGop / (kKeyWeight + static_cast<double>(kGop - 1));
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    Packets packets(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const bool key = i % kGop == 0;
        const double jitter = 0.75 + 0.5 * static_cast<double>(next() >> 11) / 9007199254740992.0;
        const auto size = std::max<std::size_t>(16, static_cast<std::size_t>(unit * (key ? kKeyWeight : 1.0) * jitter));
        std::vector<std::uint8_t>& data = packets[i];
        data.resize(size);
        for (std::size_t at = 0; at < size; at += 8)
        {
            const std::uint64_t word = next();
            std::memcpy(data.data() + at, &word, std::min<std::size_t>(8, size - at));
        }
        const auto nalSize = static_cast<std::uint32_t>(size - 4);
        data[0] = static_cast<std::uint8_t>(nalSize >> 24);
        data[1] = static_cast<std::uint8_t>(nalSize >> 16);
        data[2] = static_cast<std::uint8_t>(nalSize >> 8);
        data[3] = static_cast<std::uint8_t>(nalSize);
        data[4] = key ? 0x65 : 0x41; // IDR slice / non-IDR slice
    }
    return packets;
}

std::size_t TotalBytes(const Packets& packets)
{
    std::size_t total = 0;
    for (const auto& p : packets)
        total += p.size();
    return total;
}

// The host's side of one export: its own copy of every packet, in batches.
std::vector<mpeg::MediaPacketList> MakeBatches(const Packets& packets)
{
    std::vector<mpeg::MediaPacketList> batches;
    batches.reserve((packets.size() + kBatchSize - 1) / kBatchSize);
    for (std::size_t i = 0; i < packets.size(); ++i)
    {
        if (i % kBatchSize == 0)
        {
            batches.emplace_back();
            batches.back().reserve(kBatchSize);
        }
        auto packet = std::make_unique<mpeg::MediaPacket>();
        packet->data = packets[i];
        packet->timestamp = kHostStart + i * kFrameTicks;
        batches.back().push_back(std::move(packet));
    }
    return batches;
}

// ---- The two writers

// What an application would write by hand, with the timestamps the facade
// derives for this input: dts counts packets, pts is forced one tick ahead of
// the previous one, one tick of duration.
std::int64_t BareExport(const Packets& packets, const std::string& path)
{
    AVFormatContext* raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()), "avformat_alloc_output_context2");
    FormatContextPtr context(raw);
    AVStream* stream = avformat_new_stream(context.get(), nullptr);
    if (!stream)
        throw std::runtime_error("avformat_new_stream failed");
    stream->time_base = kTimeBase;
    AVCodecParameters& codec = *stream->codecpar;
    codec.codec_type = AVMEDIA_TYPE_VIDEO;
    codec.codec_id = AV_CODEC_ID_H264;
    codec.format = AV_PIX_FMT_YUV420P;
    codec.width = kWidth;
    codec.height = kHeight;
    codec.extradata = static_cast<std::uint8_t*>(av_mallocz(kAvcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!codec.extradata)
        throw std::runtime_error("av_mallocz failed");
    std::memcpy(codec.extradata, kAvcC.data(), kAvcC.size());
    codec.extradata_size = static_cast<int>(kAvcC.size());
    Check(avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open");
    Check(avformat_write_header(context.get(), nullptr), "avformat_write_header");

    for (std::size_t i = 0; i < packets.size(); ++i)
    {
        PacketPtr packet(av_packet_alloc());
        if (!packet)
            throw std::runtime_error("av_packet_alloc failed");
        const std::vector<std::uint8_t>& data = packets[i];
        Check(av_new_packet(packet.get(), static_cast<int>(data.size())), "av_new_packet");
        std::memcpy(packet->data, data.data(), data.size());
        packet->stream_index = stream->index;
        packet->pts = static_cast<std::int64_t>(i) + 1;
        packet->dts = static_cast<std::int64_t>(i);
        packet->duration = 1;
        av_packet_rescale_ts(packet.get(), kTimeBase, stream->time_base);
        packet->pos = -1;
        Check(av_interleaved_write_frame(context.get(), packet.get()), "av_interleaved_write_frame");
    }
    Check(av_interleaved_write_frame(context.get(), nullptr), "av_interleaved_write_frame");
    Check(av_write_trailer(context.get()), "av_write_trailer");
    return avio_tell(context->pb);
}

std::wstring Widen(const std::string& path)
{
    // The facade takes UTF-16; the paths made here are ASCII.
    for (const char c : path)
        if (static_cast<unsigned char>(c) > 0x7F)
            throw std::runtime_error("temporary path is not ASCII; set TMPDIR: " + path);
    return std::wstring(path.begin(), path.end());
}

void OpenFile(mpeg::IFfMpegFacade& facade, const std::string& path)
{
    facade.StartInitMediaFile(Widen(path));
    auto parameters = std::make_unique<mpeg::StreamParametersVideo>();
    parameters->startTime = kHostStart;
    parameters->timeScale = kFps;
    parameters->codecId = mpeg::CodecIdVideo::H264;
    parameters->width = kWidth;
    parameters->height = kHeight;
    parameters->codecConfiguration.extraData = kAvcC;
    facade.InitStreamVideo(std::move(parameters));
    facade.FinishInitMediaFile();
}

// As fast as the host can: every batch at once, then wait for the file.
std::int64_t FacadeExport(mpeg::IFfMpegFacade& facade, std::vector<mpeg::MediaPacketList>& batches,
                          const std::string& path)
{
    OpenFile(facade, path);
    for (auto& batch : batches)
        facade.AddPacketsVideo(std::move(batch));
    return facade.FinishMediaFile();
}

// ---- Measuring

struct Run
{
    double wall = 0; // seconds
    double cpu = 0;  // seconds, all threads of the process
    double faults = 0; // minor page faults, all threads
    std::int64_t fileSize = 0;
};

double MinorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_minflt);
}

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename Work>
Run Measure(Work&& work)
{
    const double faults0 = MinorFaults();
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    const std::int64_t size = work();
    const auto t1 = Clock::now();
    const double cpu1 = ProcessCpuSeconds();
    return Run{std::chrono::duration<double>(t1 - t0).count(), cpu1 - cpu0, MinorFaults() - faults0, size};
}

std::vector<double> Field(const std::vector<Run>& runs, double Run::*field)
{
    std::vector<double> values;
    for (const Run& run : runs)
        values.push_back(run.*field);
    return values;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Nearest rank.
double Percentile(std::vector<double> values, double q)
{
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// Threads of this process as the kernel sees them; 0 when that is unknown.
std::size_t ThreadCount()
{
    std::error_code error;
    fs::directory_iterator tasks("/proc/self/task", error);
    if (error)
        return 0;
    return static_cast<std::size_t>(std::distance(tasks, fs::directory_iterator{}));
}

// Lets the worker drain and exit, so that the next add call starts a burst.
void WaitForWorkerExit(std::size_t baseline)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (baseline == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (baseline != 0 && ThreadCount() > baseline && Clock::now() < deadline);
}

struct AddLatencies
{
    std::vector<double> burstStart; // microseconds; queue empty, no worker
    std::vector<double> queued;     // microseconds; a worker was running
};

// Paced like a host: bursts of add calls, then a pause in which the worker
// drains the queue and ends.
void LatencyRun(mpeg::IFfMpegFacade& facade, const Packets& packets, const std::string& path,
                std::size_t baselineThreads, AddLatencies& latencies)
{
    std::vector<mpeg::MediaPacketList> batches = MakeBatches(packets);
    OpenFile(facade, path);
    for (std::size_t i = 0; i < batches.size(); ++i)
    {
        const bool first = i % kBurstBatches == 0;
        if (first)
            WaitForWorkerExit(baselineThreads);
        const auto t0 = Clock::now();
        facade.AddPacketsVideo(std::move(batches[i]));
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        (first ? latencies.burstStart : latencies.queued).push_back(us);
    }
    facade.FinishMediaFile();
}

// ---- Environment

class TempDir
{
public:
    TempDir()
    {
        // tmpfs keeps the disk out of the figures.
        std::error_code error;
        const bool shm = fs::is_directory("/dev/shm", error);
        for (const fs::path& base : {shm ? fs::path("/dev/shm") : fs::path(), fs::temp_directory_path()})
        {
            if (base.empty())
                continue;
            std::string pattern = (base / "bench_video_export.XXXXXX").string();
            if (mkdtemp(pattern.data()))
            {
                m_path = pattern;
                m_tmpfs = shm && base == fs::path("/dev/shm");
                return;
            }
        }
        throw std::runtime_error("cannot create a temporary directory");
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const char* name) const { return (m_path / name).string(); }
    const fs::path& Path() const { return m_path; }
    bool Tmpfs() const { return m_tmpfs; }

private:
    fs::path m_path;
    bool m_tmpfs = false;
};

bool SameContents(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    if (!fa || !fb)
        return false;
    const std::vector<char> da{std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>()};
    const std::vector<char> db{std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>()};
    return da == db;
}

Options Parse(int argc, char** argv)
{
    Options options;
    auto number = [&](int index, auto minimum) {
        const std::string text = argv[index];
        std::size_t used = 0;
        double value = 0;
        try
        {
            value = std::stod(text, &used);
        }
        catch (const std::exception&)
        {
            used = 0;
        }
        if (used != text.size() || !(value >= minimum))
            throw std::invalid_argument("bad argument '" + text + "'");
        return value;
    };
    if (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))
    {
        std::cout << "usage: " << argv[0] << " [seconds=60] [repetitions=15] [mbit/s=8]\n";
        std::exit(0);
    }
    if (argc > 4)
        throw std::invalid_argument("usage: bench_video_export [seconds=60] [repetitions=15] [mbit/s=8]");
    if (argc > 1)
        options.seconds = static_cast<int>(number(1, 1));
    if (argc > 2)
        options.repetitions = static_cast<int>(number(2, 1));
    if (argc > 3)
        options.mbits = number(3, 0.01);
    return options;
}

std::string Fixed(double value, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

void PrintRow(const char* name, const std::vector<Run>& runs, std::size_t packets, std::size_t bytes)
{
    const std::vector<double> wall = Field(runs, &Run::wall);
    const double w = Median(wall);
    std::cout << std::left << std::setw(22) << name << std::right << std::setw(10) << Fixed(w * 1e3, 1)
              << std::setw(10) << Fixed(Median(Field(runs, &Run::cpu)) * 1e3, 1) << std::setw(12)
              << Fixed(static_cast<double>(packets) / w, 0) << std::setw(10)
              << Fixed(static_cast<double>(bytes) / w / 1e6, 0) << std::setw(8) << Fixed(Median(Field(runs, &Run::faults)), 0)
              << "   (wall ms per run:";
    for (const double x : wall)
        std::cout << ' ' << Fixed(x * 1e3, 1);
    std::cout << ")\n";
}

void PrintLatencies(const char* name, const std::vector<double>& us)
{
    if (us.empty())
        return;
    std::cout << "  " << std::left << std::setw(34) << name << std::right << " n=" << std::setw(4) << us.size()
              << "  p50 " << std::setw(7) << Fixed(Percentile(us, 0.50), 2) << "  p99 " << std::setw(7)
              << Fixed(Percentile(us, 0.99), 2) << "  max " << std::setw(8)
              << Fixed(*std::max_element(us.begin(), us.end()), 2) << '\n';
}

int RunBench(const Options& options)
{
    av_log_set_level(AV_LOG_ERROR);
    const std::size_t baselineThreads = ThreadCount();
    const TempDir dir;
    const std::string barePath = dir.File("bare.mp4");
    const std::string facadePath = dir.File("facade.mp4");

    const Packets packets = Synthesize(options);
    const std::size_t bytes = TotalBytes(packets);
    const std::size_t batchCount = (packets.size() + kBatchSize - 1) / kBatchSize;
    std::cout << "input:  " << packets.size() << " packets, " << options.seconds << " s of " << kWidth << 'x'
              << kHeight << " at " << kFps << " fps, " << Fixed(static_cast<double>(bytes) / 1e6, 1) << " MB ("
              << Fixed(options.mbits, 1) << " Mbit/s, key picture every " << kGop << ")\n"
              << "output: " << dir.Path().string() << (dir.Tmpfs() ? " (tmpfs)" : " (not tmpfs: disk included)")
              << ", MP4; " << options.repetitions << " runs per side, alternating, after one warm-up each\n\n";

    std::shared_ptr<mpeg::IFfMpegFacade> facade = mpeg::IFfMpegFacade::Create(false);
    auto bareRun = [&] {
        fs::remove(barePath);
        return Measure([&] { return BareExport(packets, barePath); });
    };
    auto facadeRun = [&] {
        fs::remove(facadePath);
        std::vector<mpeg::MediaPacketList> batches = MakeBatches(packets);
        return Measure([&] { return FacadeExport(*facade, batches, facadePath); });
    };

    bareRun();
    facadeRun();
    std::vector<Run> bare, viaFacade;
    for (int r = 0; r < options.repetitions; ++r)
    {
        bare.push_back(bareRun());
        viaFacade.push_back(facadeRun());
    }

    std::cout << "throughput (median)   wall ms    cpu ms   packets/s      MB/s  faults\n";
    PrintRow("bare libavformat", bare, packets.size(), bytes);
    PrintRow("facade, 25 per add", viaFacade, packets.size(), bytes);
    const double bareWall = Median(Field(bare, &Run::wall));
    const double facadeWall = Median(Field(viaFacade, &Run::wall));
    const double ratio = bareWall / facadeWall;
    std::cout << "ratio facade/bare: " << Fixed(ratio, 3) << " (throughput; target >= 0.95"
              << (ratio >= 0.95 ? ", met" : ", NOT met") << "), CPU time "
              << Fixed(Median(Field(viaFacade, &Run::cpu)) / Median(Field(bare, &Run::cpu)), 3)
              << "x bare; difference per packet "
              << Fixed((facadeWall - bareWall) / static_cast<double>(packets.size()) * 1e9, 0) << " ns wall\n";
    const bool sameSize = bare.back().fileSize == viaFacade.back().fileSize;
    std::cout << "files: " << bare.back().fileSize << " and " << viaFacade.back().fileSize << " bytes, "
              << (sameSize && SameContents(barePath, facadePath) ? "identical" : "DIFFERENT") << "\n\n";
    fs::remove(barePath);
    fs::remove(facadePath);

    AddLatencies latencies;
    for (int r = 0; r < options.repetitions; ++r)
    {
        LatencyRun(*facade, packets, facadePath, baselineThreads, latencies);
        fs::remove(facadePath);
    }
    std::cout << "AddPacketsVideo latency, us (" << options.repetitions << " paced runs of " << batchCount
              << " adds; bursts of " << kBurstBatches << " adds of " << kBatchSize
              << " packets, worker drained and ended between bursts):\n";
    PrintLatencies("queued (a worker is running)", latencies.queued);
    PrintLatencies("burst start (joins, starts thread)", latencies.burstStart);
    if (baselineThreads == 0)
        std::cout << "  (no /proc/self/task: bursts separated by fixed pauses only)\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        return RunBench(Parse(argc, argv));
    }
    catch (const std::exception& error)
    {
        std::cerr << "bench_video_export: " << error.what() << '\n';
        return 1;
    }
}
