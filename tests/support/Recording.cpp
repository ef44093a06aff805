#include "support/Recording.h"

#include "mux/FormatContext.h"

#include <cmath>
#include <random>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace TestMedia
{
namespace
{
constexpr int kFps = 25;
constexpr double kHostTicks = 1e7; // 100-ns units a second

bool Within(double t, double from, double to)
{
    return t >= from && t < to;
}

// Where the device put each packet on the host's clock, and whether it reaches the host.
struct Arrival
{
    double at = 0;
    bool delivered = true;
};

std::vector<Arrival> Arrivals(const Recording& recording, const EncodedStream& sound)
{
    std::mt19937 random(1234);
    std::uniform_real_distribution<double> jitter(-recording.jitter, recording.jitter);
    std::vector<Arrival> arrivals;
    const double perSecond = sound.sampleRate * (1 + recording.drift);
    for (std::size_t k = 0; k < sound.packets.size(); ++k)
    {
        const double captured = static_cast<double>(k) * sound.frameSize / perSecond;
        Arrival arrival;
        arrival.at = std::max(0.0, captured + (recording.jitter > 0 ? jitter(random) : 0));
        // Only sound that ends before the pictures do: the file's audio is to
        // last as long as its video.
        const double end = static_cast<double>(k + 1) * sound.frameSize / perSecond;
        arrival.delivered = end <= recording.seconds &&
                            !(recording.loseEvery > 0 && k % recording.loseEvery == 0 && k > 0) &&
                            !Within(captured, recording.outageFrom, recording.outageTo + recording.audioBack) &&
                            !Within(captured, recording.silentFrom, recording.silentTo);
        arrivals.push_back(arrival);
    }
    return arrivals;
}

bool PictureDelivered(const Recording& recording, double at)
{
    return !Within(at, recording.outageFrom, recording.outageTo + recording.videoBack);
}
} // namespace

const EncodedStream& FlashingSecond()
{
    static const EncodedStream pictures = EncodeVideo("mjpeg", 64, 48, kFps, kFps, 1, false, 0, false, true);
    return pictures;
}

EncodedStream RecordedSound(const char* encoder, int sampleRate, const Recording& recording, bool adts, int channels)
{
    return EncodeTone(encoder, sampleRate, recording.seconds + 0.5, 1000, adts, true, 1 + recording.drift, channels);
}

void Play(Mpeg::IFfMpegFacade& facade, const Recording& recording, const EncodedStream& sound, int from, int to)
{
    const EncodedStream& pictures = FlashingSecond();
    const std::vector<Arrival> arrivals = Arrivals(recording, sound);
    // Arrivals are in order but for jitter: each list takes what arrived in its second.
    std::size_t next = 0;
    while (next < arrivals.size() && arrivals[next].at < from)
        ++next;
    const int end = to < 0 ? static_cast<int>(std::ceil(recording.seconds)) : to;
    for (int second = from; second < end; ++second)
    {
        Mpeg::MediaPacketList video, audio;
        for (int i = 0; i < kFps; ++i)
        {
            const double at = second + static_cast<double>(i) / kFps;
            if (at < recording.seconds && PictureDelivered(recording, at))
                video.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{
                    pictures.packets[static_cast<std::size_t>(i)], static_cast<std::uint64_t>(std::llround(at * kHostTicks))}));
        }
        for (; next < arrivals.size() && arrivals[next].at < second + 1; ++next)
            if (arrivals[next].delivered)
                audio.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{
                    sound.packets[next], static_cast<std::uint64_t>(std::llround(arrivals[next].at * kHostTicks))}));
        facade.AddPacketsAudioVideo(std::move(video), std::move(audio));
    }
}

bool WritePlain(const std::filesystem::path& path, const Recording& recording, const EncodedStream& sound)
{
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, nullptr, path.c_str()) < 0)
        return false;
    std::unique_ptr<AVFormatContext, Mpeg::AvDeleter<Mpeg::CloseOutputContext>> context(raw);
    const EncodedStream& pictures = FlashingSecond();
    AVStream* video = avformat_new_stream(raw, nullptr);
    video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codecpar->codec_id = pictures.codecId;
    video->codecpar->width = pictures.width;
    video->codecpar->height = pictures.height;
    video->time_base = AVRational{1, kFps};
    AVStream* audio = avformat_new_stream(raw, nullptr);
    audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    audio->codecpar->codec_id = sound.codecId;
    audio->codecpar->sample_rate = sound.sampleRate;
    av_channel_layout_default(&audio->codecpar->ch_layout, 1);
    audio->codecpar->frame_size = sound.frameSize;
    if (sound.codecId == AV_CODEC_ID_ADPCM_G726 || sound.codecId == AV_CODEC_ID_ADPCM_G726LE)
        audio->codecpar->bits_per_coded_sample = 4; // all the decoder needs
    if (!sound.extradata.empty())
    {
        audio->codecpar->extradata =
            static_cast<std::uint8_t*>(av_mallocz(sound.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::copy(sound.extradata.begin(), sound.extradata.end(), audio->codecpar->extradata);
        audio->codecpar->extradata_size = static_cast<int>(sound.extradata.size());
    }
    audio->time_base = AVRational{1, sound.sampleRate};
    if (avio_open(&raw->pb, raw->url, AVIO_FLAG_WRITE) < 0 || avformat_write_header(raw, nullptr) < 0)
        return false;
    // Every packet at its own time, the pictures first: the muxer interleaves them.
    const auto soundCount =
        std::min(sound.packets.size(), static_cast<std::size_t>(recording.seconds * sound.sampleRate / sound.frameSize));
    const std::pair<std::size_t, int> streams[] = {{static_cast<std::size_t>(recording.seconds * kFps), 1},
                                                   {soundCount, sound.frameSize}};
    std::unique_ptr<AVPacket, Mpeg::AvDeleter<av_packet_free>> packet(av_packet_alloc());
    for (int s = 0; s < 2; ++s)
        for (std::size_t i = 0; i < streams[s].first; ++i)
        {
            const Bytes& data = s == 0 ? pictures.packets[i % kFps] : sound.packets[i];
            // ADTS headers go, as "aac_adtstoasc" takes them off.
            const std::size_t skip = s == 1 && sound.codecId == AV_CODEC_ID_AAC && data.size() > 7 && data[0] == 0xFF ? 7 : 0;
            if (av_new_packet(packet.get(), static_cast<int>(data.size() - skip)) < 0)
                return false;
            std::copy(data.begin() + static_cast<std::ptrdiff_t>(skip), data.end(), packet->data);
            packet->stream_index = s;
            packet->pts = packet->dts = static_cast<std::int64_t>(i) * streams[s].second;
            packet->duration = streams[s].second;
            packet->flags = AV_PKT_FLAG_KEY;
            av_packet_rescale_ts(packet.get(), s == 0 ? AVRational{1, kFps} : AVRational{1, sound.sampleRate},
                                 raw->streams[s]->time_base);
            if (av_interleaved_write_frame(raw, packet.get()) < 0)
                return false;
        }
    return av_write_trailer(raw) >= 0;
}

} // namespace TestMedia
