#include "BenchInput.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/resource.h>
#include <unistd.h>

namespace Bench
{
namespace
{
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr std::size_t kGop = kFps; // a key picture a second, so 1 s files start with one
constexpr std::size_t kAudioPayload = 128'000 / 8 * kAacFrame / kAudioRate - 7; // 128 kbit/s

// The placeholder parameter sets in kAvcC make the library's H.264 parsing
// complain about every packet, and it resets the log level: the messages go here.
const int kQuiet = (av_log_set_callback([](void*, int, const char*, va_list) {}), 0);

// An avcC record with placeholder parameter sets: with it the MP4 muxer
// takes length-prefixed packets as they are.
const Bytes kAvcC{0x01, 0x64, 0x00, 0x28, 0xFF, 0xE1, 0x00, 0x04, 0x67, 0x64, 0x00, 0x28, 0x01, 0x00, 0x02, 0x68, 0xEE};

std::unique_ptr<Mpeg::MediaPacket> Packet(Bytes data, std::uint64_t timestamp)
{
    return std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{std::move(data), timestamp});
}

std::uint64_t AudioTime(std::size_t index)
{
    return kHostStart + index * kAacFrame * kSecond / kAudioRate;
}

// The library's timing rule: elapsed host time in ticks, halves rounded up,
// forced above the previous packet's.
std::int64_t Ticks(std::uint64_t timestamp, int timeScale, std::int64_t& last)
{
    const auto ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(timeScale) * (timestamp - kHostStart) + kSecond / 2) / kSecond);
    last = ticks > last ? ticks : last + 1;
    return last;
}
} // namespace

double Workload(const char* variable, double full, double smoke)
{
    if (const char* value = std::getenv(variable))
        return std::atof(value);
    return std::getenv("BENCH_SMOKE") ? smoke : full;
}

CopySource::CopySource(double videoMbits, bool withAudio)
    : m_withAudio(withAudio), m_pool(1 << 21)
{
    std::generate(m_pool.begin(), m_pool.end(), [this] { return static_cast<std::uint8_t>(m_random()); });
    const double unit = videoMbits * 1e6 / 8 / kFps * kGop / (6.0 + kGop - 1);
    std::uniform_real_distribution<double> jitter(0.75, 1.25);
    for (std::size_t i = 0; i < kGop; ++i)
        m_videoSizes.push_back(static_cast<std::size_t>(unit * (i == 0 ? 6 : 1) * jitter(m_random)));
}

Bytes CopySource::Cut(std::size_t size)
{
    const std::size_t at = m_random() % (m_pool.size() - size);
    return Bytes(m_pool.begin() + static_cast<std::ptrdiff_t>(at),
                 m_pool.begin() + static_cast<std::ptrdiff_t>(at + size));
}

Batch CopySource::Next()
{
    Batch batch;
    for (const std::size_t end = m_video + kFps; m_video < end; ++m_video)
    {
        Bytes data = Cut(m_videoSizes[m_video % kGop]);
        const auto nal = static_cast<std::uint32_t>(data.size() - 4);
        for (int i = 0; i < 4; ++i)
            data[i] = static_cast<std::uint8_t>(nal >> (24 - 8 * i));
        data[4] = m_video % kGop == 0 ? 0x65 : 0x41; // IDR slice or not
        batch.video.push_back(Packet(std::move(data), VideoTime(m_video)));
    }
    for (; m_withAudio && AudioTime(m_audio) < VideoTime(m_video); ++m_audio)
    {
        Bytes data = TestMedia::AdtsHeader(kAudioRate, kAudioPayload);
        const Bytes body = Cut(kAudioPayload);
        data.insert(data.end(), body.begin(), body.end());
        data[7] &= 0x1F; // a single channel element, never an ADTS sync word
        batch.audio.push_back(Packet(std::move(data), AudioTime(m_audio)));
    }
    return batch;
}

void CopySource::Rewind()
{
    m_video = m_audio = 0;
    m_random.seed(11);
}

std::uint64_t VideoTime(std::size_t index)
{
    return kHostStart + index * kSecond / kFps;
}

std::unique_ptr<Mpeg::StreamParametersAudio> AacRecord()
{
    auto audio = std::make_unique<Mpeg::StreamParametersAudio>();
    audio->startTime = kHostStart;
    audio->timeScale = kAudioRate;
    audio->codecId = Mpeg::CodecIdAudio::Aac;
    audio->firstPacketHeader = TestMedia::AdtsHeader(kAudioRate, kAudioPayload);
    return audio;
}

void OpenCopy(Mpeg::IFfMpegFacade& facade, const std::string& path, bool withAudio)
{
    facade.StartInitMediaFile(TestMedia::Wide(path));
    auto video = TestMedia::VideoRecord(Mpeg::CodecIdVideo::H264, kWidth, kHeight, kFps, kAvcC);
    video->startTime = kHostStart;
    facade.InitStreamVideo(std::move(video));
    if (withAudio)
        facade.InitStreamAudio(AacRecord());
    facade.FinishInitMediaFile();
}

void Add(Mpeg::IFfMpegFacade& facade, Batch& batch, bool withAudio)
{
    withAudio ? facade.AddPacketsAudioVideo(std::move(batch.video), std::move(batch.audio))
              : facade.AddPacketsVideo(std::move(batch.video));
}

OutputContext OpenOutput(const std::string& path)
{
    AVFormatContext* context = nullptr;
    CheckAvResult(avformat_alloc_output_context2(&context, nullptr, nullptr, path.c_str()),
                  "::avformat_alloc_output_context2");
    return OutputContext(context);
}

BareCopy::BareCopy(const std::string& path, bool withAudio)
    : m_context(OpenOutput(path))
{
    AVStream* video = avformat_new_stream(m_context.get(), nullptr);
    if (!m_packet || !video)
        throw std::bad_alloc();
    video->time_base = AVRational{1, kFps};
    AVCodecParameters& v = *video->codecpar;
    v.codec_type = AVMEDIA_TYPE_VIDEO;
    v.codec_id = AV_CODEC_ID_H264;
    v.format = AV_PIX_FMT_YUV420P;
    v.width = kWidth;
    v.height = kHeight;
    v.extradata = static_cast<std::uint8_t*>(av_mallocz(kAvcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!v.extradata)
        throw std::bad_alloc();
    std::memcpy(v.extradata, kAvcC.data(), kAvcC.size());
    v.extradata_size = static_cast<int>(kAvcC.size());
    if (withAudio)
    {
        AVBSFContext* filter = nullptr;
        CheckAvResult(av_bsf_alloc(av_bsf_get_by_name("aac_adtstoasc"), &filter), "::av_bsf_alloc");
        m_filter.reset(filter);
        AVCodecParameters& in = *filter->par_in;
        in.codec_type = AVMEDIA_TYPE_AUDIO;
        in.codec_id = AV_CODEC_ID_AAC;
        in.sample_rate = kAudioRate;
        in.frame_size = kAacFrame;
        av_channel_layout_default(&in.ch_layout, 1);
        filter->time_base_in = AVRational{1, kAudioRate};
        CheckAvResult(av_bsf_init(filter), "::av_bsf_init");
        AVStream* audio = avformat_new_stream(m_context.get(), nullptr);
        if (!audio)
            throw std::bad_alloc();
        CheckAvResult(avcodec_parameters_copy(audio->codecpar, filter->par_out), "::avcodec_parameters_copy");
        audio->time_base = AVRational{1, kAudioRate};
    }
    CheckAvResult(avio_open(&m_context->pb, path.c_str(), AVIO_FLAG_WRITE), "::avio_open");
    CheckAvResult(avformat_write_header(m_context.get(), nullptr), "::avformat_write_header");
}

void BareCopy::Write(Batch& batch)
{
    for (auto* list : {&batch.video, &batch.audio})
        for (auto& packet : *list)
        {
            Send(*packet, list == &batch.video);
            packet.reset();
        }
}

void BareCopy::Send(const Mpeg::MediaPacket& host, bool video)
{
    const int scale = video ? kFps : kAudioRate;
    AVStream* stream = m_context->streams[video ? 0 : 1];
    CheckAvResult(av_new_packet(m_packet.get(), static_cast<int>(host.data.size())), "::av_new_packet");
    std::memcpy(m_packet->data, host.data.data(), host.data.size());
    m_packet->pts = m_packet->dts = Ticks(host.timestamp, scale, m_lastPts[video ? 0 : 1]);
    // As the library writes video: key where the payload is an IDR slice.
    if (video && (host.data[4] & 0x1F) == 5)
        m_packet->flags |= AV_PKT_FLAG_KEY;
    if (!video)
        CheckAvResult(av_bsf_send_packet(m_filter.get(), m_packet.get()), "::av_bsf_send_packet");
    while (video || av_bsf_receive_packet(m_filter.get(), m_packet.get()) == 0)
    {
        m_packet->stream_index = stream->index;
        m_packet->duration = video ? 1 : kAacFrame;
        av_packet_rescale_ts(m_packet.get(), AVRational{1, scale}, stream->time_base);
        // As the library writes video: decoded one tick of the track's clock before shown.
        if (video)
            m_packet->dts = m_packet->pts - 1;
        CheckAvResult(av_interleaved_write_frame(m_context.get(), m_packet.get()), "::av_interleaved_write_frame");
        if (video)
            break;
    }
}

std::int64_t BareCopy::Finish()
{
    CheckAvResult(av_interleaved_write_frame(m_context.get(), nullptr), "::av_interleaved_write_frame");
    CheckAvResult(av_write_trailer(m_context.get()), "::av_write_trailer");
    return avio_tell(m_context->pb);
}

long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string OutputPath(const std::string& name)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    return (dir / ("mpegexporter-bench-" + std::to_string(getpid()) + "-" + name)).string();
}

} // namespace Bench
