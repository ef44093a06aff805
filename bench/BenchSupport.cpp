#include "BenchSupport.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Bench
{
namespace fs = std::filesystem;

namespace
{
// xorshift64: cheap, deterministic filler for payloads nothing decodes.
class Random
{
public:
    explicit Random(std::uint64_t seed)
        : m_state(seed * 0x9E3779B97F4A7C15u | 1)
    {
    }
    std::uint64_t Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
    void Fill(std::uint8_t* data, std::size_t size)
    {
        for (std::size_t at = 0; at < size; at += 8)
        {
            const std::uint64_t word = Next();
            std::memcpy(data + at, &word, std::min<std::size_t>(8, size - at));
        }
    }

private:
    std::uint64_t m_state;
};

// The facade's timing rule: elapsed host time in ticks, halves rounded up.
std::int64_t ElapsedTicks(std::uint64_t timestamp, std::int64_t timeScale)
{
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(timeScale) * (timestamp - kHostStart) + kSecond / 2) /
                                     kSecond);
}

std::int64_t StrictlyAfter(std::int64_t candidate, std::int64_t& last)
{
    last = candidate > last ? candidate : last + 1;
    return last;
}

struct InputCloser
{
    void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

class QuietLog
{
public:
    QuietLog() { av_log_set_level(AV_LOG_QUIET); }
    ~QuietLog() { av_log_set_level(m_level); }
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

private:
    int m_level = av_log_get_level();
};

InputPtr OpenInput(const std::string& path)
{
    AVFormatContext* raw = nullptr;
    Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "avformat_open_input");
    return InputPtr(raw);
}
} // namespace

void Check(int result, const char* call)
{
    if (result >= 0)
        return;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(result, text, sizeof text);
    throw std::runtime_error(std::string(call) + ": " + text);
}

// ---- Args

Args::Args(int argc, char** argv, std::string usage)
    : m_usage(std::move(usage))
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help")
        {
            std::cout << m_usage << '\n';
            std::exit(0);
        }
        if (arg.rfind("--", 0) != 0 || arg.size() < 3)
            throw std::invalid_argument("unexpected argument '" + arg + "'\n" + m_usage);
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        m_values[name] = equals == std::string::npos ? "" : arg.substr(equals + 1);
        m_used[name] = false;
    }
}

double Args::Number(const std::string& name, double fallback, double minimum)
{
    const auto found = m_values.find(name);
    if (found == m_values.end())
        return fallback;
    m_used[name] = true;
    std::size_t used = 0;
    double value = 0;
    try
    {
        value = std::stod(found->second, &used);
    }
    catch (const std::exception&)
    {
        used = 0;
    }
    if (used == 0 || used != found->second.size() || !(value >= minimum))
        throw std::invalid_argument("bad value for --" + name + ": '" + found->second + "'");
    return value;
}

std::string Args::Text(const std::string& name, const std::string& fallback)
{
    const auto found = m_values.find(name);
    if (found == m_values.end())
        return fallback;
    m_used[name] = true;
    return found->second;
}

bool Args::Flag(const std::string& name)
{
    const auto found = m_values.find(name);
    if (found == m_values.end())
        return false;
    m_used[name] = true;
    if (!found->second.empty())
        throw std::invalid_argument("--" + name + " takes no value");
    return true;
}

void Args::Finish() const
{
    for (const auto& [name, used] : m_used)
        if (!used)
            throw std::invalid_argument("unknown option --" + name + "\n" + m_usage);
}

// ---- Statistics

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double Max(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double Min(const std::vector<double>& values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double PairedRatio(const std::vector<double>& reference, const std::vector<double>& library)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < reference.size() && i < library.size(); ++i)
        if (library[i] > 0)
            ratios.push_back(reference[i] / library[i]);
    return Median(ratios);
}

std::string Fixed(double value, int decimals)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

void Result(const std::string& path, const std::string& figure, const std::string& library,
            const std::string& reference, const std::string& ratio, const std::string& target,
            const std::string& verdict)
{
    std::cout << "@ ";
    const std::string* fields[] = {&path, &figure, &library, &reference, &ratio, &target, &verdict};
    for (std::size_t i = 0; i < std::size(fields); ++i)
        std::cout << (i ? "\t" : "") << (fields[i]->empty() ? "-" : *fields[i]);
    std::cout << std::endl;
}

std::string Verdict(bool met)
{
    return met ? "met" : "NOT met";
}

// ---- Measuring

Usage ProcessUsage()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    // The clock is exact; rusage is what splits off the kernel's share.
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return Usage{static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9, seconds(usage.ru_stime),
                 static_cast<double>(usage.ru_minflt)};
}

std::vector<double> Walls(const std::vector<Sample>& samples)
{
    std::vector<double> values;
    for (const Sample& s : samples)
        values.push_back(s.wall);
    return values;
}

std::vector<double> Cpus(const std::vector<Sample>& samples)
{
    std::vector<double> values;
    for (const Sample& s : samples)
        values.push_back(s.cpu);
    return values;
}

std::vector<double> Systems(const std::vector<Sample>& samples)
{
    std::vector<double> values;
    for (const Sample& s : samples)
        values.push_back(s.system);
    return values;
}

std::size_t ThreadCount()
{
    std::error_code error;
    fs::directory_iterator tasks("/proc/self/task", error);
    if (error)
        return 0;
    return static_cast<std::size_t>(std::distance(tasks, fs::directory_iterator{}));
}

void WaitForWorkerExit(std::size_t baselineThreads)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (baselineThreads == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (baselineThreads != 0 && ThreadCount() > baselineThreads && Clock::now() < deadline);
}

long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// ---- Environment

TempDir::TempDir(const char* prefix)
{
    std::error_code error;
    const bool shm = fs::is_directory("/dev/shm", error);
    for (const fs::path& base : {shm ? fs::path("/dev/shm") : fs::path(), fs::temp_directory_path()})
    {
        if (base.empty())
            continue;
        std::string pattern = (base / (std::string(prefix) + ".XXXXXX")).string();
        if (mkdtemp(pattern.data()))
        {
            m_path = pattern;
            m_tmpfs = shm && base == fs::path("/dev/shm");
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::wstring Widen(const std::string& path)
{
    for (const char c : path)
        if (static_cast<unsigned char>(c) > 0x7F)
            throw std::runtime_error("temporary path is not ASCII; set TMPDIR: " + path);
    return std::wstring(path.begin(), path.end());
}

// ---- Synthetic input

Bytes RandomBytes(std::size_t size, std::uint64_t seed)
{
    Bytes bytes(size);
    Random(seed).Fill(bytes.data(), size);
    return bytes;
}

const Bytes& AvcC()
{
    static const Bytes avcc{0x01, 0x64, 0x00, 0x28, 0xFF, 0xE1, 0x00, 0x04, 0x67,
                            0x64, 0x00, 0x28, 0x01, 0x00, 0x02, 0x68, 0xEE};
    return avcc;
}

Packets SyntheticH264(std::size_t count, double mbits, std::uint64_t seed)
{
    constexpr std::size_t kGop = 50;
    constexpr double kKeyWeight = 6.0;
    const double meanBytes = mbits * 1e6 / 8.0 / kVideoFps;
    const double unit = meanBytes * kGop / (kKeyWeight + static_cast<double>(kGop - 1));
    Random random(seed);
    Packets packets(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const bool key = i % kGop == 0;
        const double jitter = 0.75 + 0.5 * random.Unit();
        const auto size = std::max<std::size_t>(16, static_cast<std::size_t>(unit * (key ? kKeyWeight : 1.0) * jitter));
        Bytes& data = packets[i];
        data.resize(size);
        random.Fill(data.data(), size);
        const auto nalSize = static_cast<std::uint32_t>(size - 4);
        data[0] = static_cast<std::uint8_t>(nalSize >> 24);
        data[1] = static_cast<std::uint8_t>(nalSize >> 16);
        data[2] = static_cast<std::uint8_t>(nalSize >> 8);
        data[3] = static_cast<std::uint8_t>(nalSize);
        data[4] = key ? 0x65 : 0x41; // IDR slice / non-IDR slice
    }
    return packets;
}

Bytes AdtsHeader(int rate, std::size_t payload)
{
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    const auto index = static_cast<int>(std::find(std::begin(rates), std::end(rates), rate) - std::begin(rates));
    if (index == static_cast<int>(std::size(rates)))
        throw std::invalid_argument("no ADTS sampling frequency index for " + std::to_string(rate));
    const std::size_t length = payload + 7;
    constexpr int kChannels = 1, kProfileLc = 1, kFullness = 0x7FF; // fullness 0x7FF: variable rate
    return {0xFF,
            0xF1, // MPEG-4, no CRC
            static_cast<std::uint8_t>(kProfileLc << 6 | index << 2 | kChannels >> 2),
            static_cast<std::uint8_t>((kChannels & 3) << 6 | (length >> 11 & 3)),
            static_cast<std::uint8_t>(length >> 3),
            static_cast<std::uint8_t>((length & 7) << 5 | kFullness >> 6),
            static_cast<std::uint8_t>((kFullness & 0x3F) << 2)};
}

Packets SyntheticAdts(std::size_t count, int rate, double kbits, std::uint64_t seed)
{
    const double meanPayload = std::max(16.0, kbits * 1000 / 8 * kAacFrame / rate - 7);
    Random random(seed);
    Packets packets(count);
    for (Bytes& packet : packets)
    {
        const auto payload = static_cast<std::size_t>(meanPayload * (0.9 + 0.2 * random.Unit()));
        packet = AdtsHeader(rate, payload);
        packet.resize(7 + payload);
        random.Fill(packet.data() + 7, payload);
        packet[7] &= 0x1F; // a single channel element, never an ADTS sync word
    }
    return packets;
}

CopyInput MakeCopyInput(double seconds, double mbits, bool withAudio, int audioRate, double audioKbits)
{
    CopyInput input;
    input.audioRate = audioRate;
    input.video = SyntheticH264(static_cast<std::size_t>(std::llround(seconds * kVideoFps)), mbits);
    if (withAudio)
        input.audio = SyntheticAdts(static_cast<std::size_t>(seconds * audioRate / kAacFrame), audioRate, audioKbits);
    return input;
}

std::uint64_t VideoTime(std::size_t i)
{
    return kHostStart + i * kSecond / kVideoFps;
}

std::uint64_t AudioTime(std::size_t i, int rate)
{
    return kHostStart + i * kAacFrame * kSecond / static_cast<std::uint64_t>(rate);
}

std::size_t TotalBytes(const Packets& packets)
{
    std::size_t total = 0;
    for (const Bytes& p : packets)
        total += p.size();
    return total;
}

std::vector<HostBatch> MakeBatches(const CopyInput& input)
{
    std::vector<HostBatch> batches;
    std::size_t a = 0;
    for (std::size_t v = 0; v < input.video.size(); v += kVideoFps)
    {
        HostBatch batch;
        const std::size_t end = std::min(input.video.size(), v + kVideoFps);
        batch.video.reserve(end - v);
        for (std::size_t i = v; i < end; ++i)
        {
            batch.video.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{input.video[i], VideoTime(i)}));
            batch.bytes += input.video[i].size();
        }
        const bool last = end == input.video.size();
        for (; a < input.audio.size() && (last || AudioTime(a, input.audioRate) < VideoTime(end)); ++a)
        {
            batch.audio.push_back(
                std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{input.audio[a], AudioTime(a, input.audioRate)}));
            batch.bytes += input.audio[a].size();
        }
        batches.push_back(std::move(batch));
    }
    return batches;
}

void OpenCopyExport(Mpeg::IFfMpegFacade& facade, const std::string& path, const CopyInput& input)
{
    facade.StartInitMediaFile(Widen(path));
    auto video = std::make_unique<Mpeg::StreamParametersVideo>();
    video->startTime = kHostStart;
    video->timeScale = kVideoFps;
    video->codecId = Mpeg::CodecIdVideo::H264;
    video->width = kVideoWidth;
    video->height = kVideoHeight;
    video->codecConfiguration.extraData = AvcC();
    facade.InitStreamVideo(std::move(video));
    if (!input.audio.empty())
    {
        auto audio = std::make_unique<Mpeg::StreamParametersAudio>();
        audio->startTime = kHostStart;
        audio->timeScale = input.audioRate;
        audio->codecId = Mpeg::CodecIdAudio::Aac;
        audio->channels = 1;
        const Bytes& first = input.audio.front();
        audio->firstPacketHeader.assign(first.begin(), first.begin() + std::min<std::size_t>(8, first.size()));
        facade.InitStreamAudio(std::move(audio));
    }
    facade.FinishInitMediaFile();
}

void Add(Mpeg::IFfMpegFacade& facade, HostBatch& batch, bool withAudio)
{
    if (withAudio)
        facade.AddPacketsAudioVideo(std::move(batch.video), std::move(batch.audio));
    else
        facade.AddPacketsVideo(std::move(batch.video));
}

// ---- BareWriter

BareWriter::BareWriter(const std::string& path, bool withAudio, int audioRate)
    : m_audioRate(audioRate)
{
    try
    {
        Check(avformat_alloc_output_context2(&m_context, nullptr, nullptr, path.c_str()),
              "avformat_alloc_output_context2");
        m_packet = av_packet_alloc();
        if (!m_packet)
            throw std::runtime_error("av_packet_alloc failed");

        m_video = avformat_new_stream(m_context, nullptr);
        if (!m_video)
            throw std::runtime_error("avformat_new_stream failed");
        m_video->time_base = AVRational{1, kVideoFps};
        AVCodecParameters& video = *m_video->codecpar;
        video.codec_type = AVMEDIA_TYPE_VIDEO;
        video.codec_id = AV_CODEC_ID_H264;
        video.format = AV_PIX_FMT_YUV420P;
        video.width = kVideoWidth;
        video.height = kVideoHeight;
        video.extradata = static_cast<std::uint8_t*>(av_mallocz(AvcC().size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!video.extradata)
            throw std::runtime_error("av_mallocz failed");
        std::memcpy(video.extradata, AvcC().data(), AvcC().size());
        video.extradata_size = static_cast<int>(AvcC().size());

        if (withAudio)
        {
            const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
            if (!filter)
                throw std::runtime_error("no aac_adtstoasc filter");
            Check(av_bsf_alloc(filter, &m_filter), "av_bsf_alloc");
            AVCodecParameters& in = *m_filter->par_in;
            in.codec_type = AVMEDIA_TYPE_AUDIO;
            in.codec_id = AV_CODEC_ID_AAC;
            in.sample_rate = audioRate;
            in.frame_size = kAacFrame;
            av_channel_layout_default(&in.ch_layout, 1);
            m_filter->time_base_in = AVRational{1, audioRate};
            Check(av_bsf_init(m_filter), "av_bsf_init");

            m_audio = avformat_new_stream(m_context, nullptr);
            if (!m_audio)
                throw std::runtime_error("avformat_new_stream failed");
            Check(avcodec_parameters_copy(m_audio->codecpar, m_filter->par_out), "avcodec_parameters_copy");
            m_audio->time_base = AVRational{1, audioRate};
        }
        Check(avio_open(&m_context->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open");
        Check(avformat_write_header(m_context, nullptr), "avformat_write_header");
    }
    catch (...)
    {
        Release();
        throw;
    }
}

BareWriter::~BareWriter()
{
    Release();
}

void BareWriter::Release() noexcept
{
    av_packet_free(&m_packet);
    av_bsf_free(&m_filter);
    if (m_context)
    {
        if (m_context->pb)
            avio_closep(&m_context->pb);
        avformat_free_context(m_context);
        m_context = nullptr;
    }
}

void BareWriter::Write(HostBatch& batch)
{
    for (auto& packet : batch.video)
    {
        WriteVideo(*packet);
        packet.reset();
    }
    for (auto& packet : batch.audio)
    {
        WriteAudio(*packet);
        packet.reset();
    }
}

void BareWriter::WriteVideo(const Mpeg::MediaPacket& host)
{
    Check(av_new_packet(m_packet, static_cast<int>(host.data.size())), "av_new_packet");
    std::memcpy(m_packet->data, host.data.data(), host.data.size());
    m_packet->stream_index = m_video->index;
    m_packet->pts = StrictlyAfter(ElapsedTicks(host.timestamp, kVideoFps), m_videoLastPts);
    // Timed and marked as the library does it: decoded one tick before it is
    // shown, and a key picture where the payload is an IDR slice.
    m_packet->dts = m_packet->pts - 1;
    m_packet->duration = 1;
    if (host.data.size() > 4 && (host.data[4] & 0x1F) == 5)
        m_packet->flags |= AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(m_packet, AVRational{1, kVideoFps}, m_video->time_base);
    m_packet->pos = -1;
    Check(av_interleaved_write_frame(m_context, m_packet), "av_interleaved_write_frame");
}

void BareWriter::WriteAudio(const Mpeg::MediaPacket& host)
{
    Check(av_new_packet(m_packet, static_cast<int>(host.data.size())), "av_new_packet");
    std::memcpy(m_packet->data, host.data.data(), host.data.size());
    m_packet->pts = StrictlyAfter(ElapsedTicks(host.timestamp, m_audioRate), m_audioLastPts);
    m_packet->dts = m_packet->pts;
    Check(av_bsf_send_packet(m_filter, m_packet), "av_bsf_send_packet");
    while (av_bsf_receive_packet(m_filter, m_packet) == 0)
    {
        m_packet->stream_index = m_audio->index;
        m_packet->duration = kAacFrame;
        av_packet_rescale_ts(m_packet, AVRational{1, m_audioRate}, m_audio->time_base);
        m_packet->pos = -1;
        Check(av_interleaved_write_frame(m_context, m_packet), "av_interleaved_write_frame");
    }
}

std::int64_t BareWriter::Finish()
{
    Check(av_interleaved_write_frame(m_context, nullptr), "av_interleaved_write_frame");
    Check(av_write_trailer(m_context), "av_write_trailer");
    return avio_tell(m_context->pb);
}

// ---- Reading back

std::vector<StreamSummary> Summarize(const std::string& path)
{
    // The demuxer's H.264 parser complains about the synthetic payloads.
    const QuietLog quiet;
    InputPtr context = OpenInput(path);
    std::vector<StreamSummary> streams(context->nb_streams);
    for (unsigned i = 0; i < context->nb_streams; ++i)
    {
        streams[i].type = context->streams[i]->codecpar->codec_type;
        streams[i].codec = context->streams[i]->codecpar->codec_id;
        streams[i].hash = streams[i].timing = 0xCBF29CE484222325u;
    }
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        throw std::runtime_error("av_packet_alloc failed");
    while (av_read_frame(context.get(), packet) >= 0)
    {
        StreamSummary& s = streams.at(static_cast<std::size_t>(packet->stream_index));
        ++s.packets;
        s.bytes += static_cast<std::size_t>(packet->size);
        for (int i = 0; i < packet->size; ++i)
            s.hash = (s.hash ^ packet->data[i]) * 0x100000001B3u;
        for (const std::int64_t t : {packet->pts, packet->dts, packet->duration})
            s.timing = (s.timing ^ static_cast<std::uint64_t>(t)) * 0x100000001B3u;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return streams;
}

StreamSummary StreamOf(const std::vector<StreamSummary>& streams, AVMediaType type)
{
    for (const StreamSummary& s : streams)
        if (s.type == type)
            return s;
    return StreamSummary{};
}

std::string Describe(const StreamSummary& stream)
{
    std::ostringstream text;
    text << avcodec_get_name(stream.codec) << ' ' << stream.packets << " packets " << stream.bytes << " bytes";
    return text.str();
}

std::int64_t DecodedUnits(const std::string& path, AVMediaType type)
{
    // Probing reads every stream, the synthetic video too.
    const QuietLog quiet;
    InputPtr context = OpenInput(path);
    Check(avformat_find_stream_info(context.get(), nullptr), "avformat_find_stream_info");
    const int index = av_find_best_stream(context.get(), type, -1, -1, nullptr, 0);
    if (index < 0)
        return -1;
    const AVCodec* codec = avcodec_find_decoder(context->streams[index]->codecpar->codec_id);
    if (!codec)
        return -1;
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::int64_t units = 0;
    bool failed = !decoder || !packet || !frame ||
                  avcodec_parameters_to_context(decoder, context->streams[index]->codecpar) < 0 ||
                  avcodec_open2(decoder, codec, nullptr) < 0;
    auto drain = [&] {
        for (;;)
        {
            const int status = avcodec_receive_frame(decoder, frame);
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
                return;
            if (status < 0)
            {
                failed = true;
                return;
            }
            units += type == AVMEDIA_TYPE_AUDIO ? frame->nb_samples : 1;
            av_frame_unref(frame);
        }
    };
    while (!failed && av_read_frame(context.get(), packet) >= 0)
    {
        if (packet->stream_index == index)
        {
            failed = avcodec_send_packet(decoder, packet) < 0;
            drain();
        }
        av_packet_unref(packet);
    }
    if (!failed)
    {
        avcodec_send_packet(decoder, nullptr);
        drain();
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    return failed ? -1 : units;
}

bool SameContents(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    if (!fa || !fb)
        return false;
    return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

// ---- Commands

namespace
{
// An unnamed temporary file for a child's output.
int TemporaryFd()
{
    char path[] = "/tmp/bench_command.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(path);
    return fd;
}

std::string ReadAll(int fd)
{
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}
} // namespace

CommandRun RunCommand(const std::vector<std::string>& argv)
{
    const int outFd = TemporaryFd();
    const int errFd = TemporaryFd();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    CommandRun run;
    pid_t pid = 0;
    const auto t0 = Clock::now();
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
    {
        close(outFd);
        close(errFd);
        run.log = std::string("cannot run ") + argv[0] + ": " + std::strerror(spawned);
        return run;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR)
    {
    }
    run.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.output = ReadAll(outFd);
    const std::string text = ReadAll(errFd);
    // ffmpeg -benchmark: "bench: utime=0.123s stime=0.004s rtime=0.130s"
    const std::size_t bench = text.find("bench: utime=");
    if (bench != std::string::npos)
    {
        const std::size_t utime = bench + 13;
        const std::size_t stime = text.find("stime=", utime);
        const std::size_t rtime = text.find("rtime=", utime);
        if (stime != std::string::npos && rtime != std::string::npos)
        {
            run.loop = std::strtod(text.c_str() + rtime + 6, nullptr);
            run.loopCpu = std::strtod(text.c_str() + utime, nullptr) + std::strtod(text.c_str() + stime + 6, nullptr);
        }
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("bench:", 0) != 0)
            run.log += line + "\n";
    return run;
}

bool HaveCommand(const std::string& name)
{
    return RunCommand({name, "-hide_banner", "-version"}).status == 0;
}

} // namespace Bench
