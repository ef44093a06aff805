// The inputs: a media file read with libavformat, and the built-in test card.

#include "Tool.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <utility>

namespace mpegexport
{
namespace
{
std::vector<std::uint8_t> Bytes(const std::uint8_t* data, int size)
{
    return {data, data + std::max(size, 0)};
}

// When `packet` starts on the host clock, by its pts, else its dts; AV_NOPTS_VALUE without either.
std::int64_t HostTime(const AVPacket& packet, AVRational timeBase)
{
    const std::int64_t time = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    return time == AV_NOPTS_VALUE ? time : av_rescale_q(time, timeBase, kHostTimeBase);
}

// `packet` on the host clock.
SourcePacket HostPacket(const AVPacket& packet, AVRational timeBase)
{
    return {Bytes(packet.data, packet.size), HostTime(packet, timeBase),
            av_rescale_q(packet.duration, timeBase, kHostTimeBase), (packet.flags & AV_PKT_FLAG_KEY) != 0};
}

// The first stream of a type; cover art is a still picture, not the video.
AVStream* FirstStream(const AVFormatContext& context, AVMediaType type)
{
    for (unsigned i = 0; i < context.nb_streams; ++i)
        if (context.streams[i]->codecpar->codec_type == type &&
            !(context.streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return context.streams[i];
    return nullptr;
}

class DemuxSource final : public PacketSource
{
public:
    DemuxSource(const std::string& path, Streams streams)
    {
        // Headerless G.711 (.ul, .al) does not say its rate; telephony's is 8 kHz. Others ignore the option.
        AVDictionary* options = nullptr;
        av_dict_set(&options, "sample_rate", "8000", 0);
        AVFormatContext* raw = nullptr;
        const int opened = avformat_open_input(&raw, path.c_str(), nullptr, &options);
        av_dict_free(&options);
        m_context.reset(raw); // null after a failure
        Check(opened, "cannot open '" + path + "'");
        Check(avformat_find_stream_info(raw, nullptr), "cannot read '" + path + "'");
        info.name = path;
        m_videoStream = streams == Streams::AudioOnly ? nullptr : FirstStream(*raw, AVMEDIA_TYPE_VIDEO);
        m_audioStream = streams == Streams::VideoOnly ? nullptr : FirstStream(*raw, AVMEDIA_TYPE_AUDIO);
        if (!m_videoStream && streams != Streams::AudioOnly)
            throw std::runtime_error("'" + path + "' has no video stream");
        if (!m_audioStream && streams == Streams::AudioOnly)
            throw std::runtime_error("'" + path + "' has no audio stream");
        if (const AVStream* stream = m_videoStream)
        {
            const AVCodecParameters& p = *stream->codecpar;
            const auto usable = [](AVRational rate) { return rate.num > 0 && rate.den > 0; };
            // The average holds the total duration together when the rate varies.
            AVRational rate = usable(stream->avg_frame_rate) ? stream->avg_frame_rate : stream->r_frame_rate;
            rate = usable(rate) ? rate : AVRational{0, 1};
            m_frameTicks = rate.num > 0 ? av_rescale_q(1, av_inv_q(rate), kHostTimeBase) : 0;
            // Probing sets the video delay from the bitstream's reorder depth or pictures seen out of order.
            info.video = {p.codec_id, p.width, p.height, Bytes(p.extradata, p.extradata_size), rate, p.video_delay > 0};
        }
        if (m_audioStream)
        {
            const AVCodecParameters& p = *m_audioStream->codecpar;
            int bits = p.bits_per_coded_sample;
            if (bits <= 0 && p.sample_rate > 0)
                bits = static_cast<int>((p.bit_rate + p.sample_rate / 2) / p.sample_rate);
            const bool swapped = p.codec_id == AV_CODEC_ID_PCM_S16LE; // see Fill
            info.audio = AudioDescription{swapped ? AV_CODEC_ID_PCM_S16BE : p.codec_id, p.sample_rate,
                                          p.ch_layout.nb_channels, p.block_align, bits,
                                          Bytes(p.extradata, p.extradata_size)};
        }
        for (unsigned i = 0; i < raw->nb_streams; ++i)
            if (raw->streams[i] != m_videoStream && raw->streams[i] != m_audioStream)
                raw->streams[i]->discard = AVDISCARD_ALL;
        const AVStream* main = m_videoStream ? m_videoStream : m_audioStream;
        if (main->duration > 0) // not AV_NOPTS_VALUE, which is negative
            info.durationSeconds = static_cast<double>(main->duration) * av_q2d(main->time_base);
        else if (raw->duration > 0)
            info.durationSeconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
    }

    bool Next(SourcePacket& packet) override
    {
        if (!Fill(m_videoStream, m_demuxed))
            return false;
        // Copied out of the demuxer's packet only now, as the library takes it.
        PacketPtr demuxed = std::move(m_demuxed.front());
        m_demuxed.pop_front();
        packet = HostPacket(*demuxed, m_videoStream->time_base);
        // A recording whose writer was killed ends mid-picture, which players refuse to decode.
        if (!Fill(m_videoStream, m_demuxed) && CutShort(*demuxed))
        {
            notes.push_back(info.name + ": left out the last picture, which is cut short and does not decode");
            return false;
        }
        if (packet.key)
            m_sinceKey.clear(), m_sinceKeyBytes = 0;
        m_sinceKeyBytes += packet.data.size();
        if (m_sinceKeyBytes <= kMaxSinceKeyBytes)
            m_sinceKey.push_back(std::move(demuxed));
        else
            m_sinceKey.clear();
        // Untimed packets follow the previous one by a nominal frame.
        m_lastOffset = packet.offset != AV_NOPTS_VALUE ? packet.offset - *m_origin
                       : m_lastOffset                  ? *m_lastOffset + m_frameTicks
                                                       : 0;
        packet.offset = *m_lastOffset;
        return true;
    }

    bool NextAudio(SourcePacket& packet) override
    {
        if (!Fill(m_audioStream, m_audioQueue) || !Pop(m_audioQueue, packet))
            return false;
        // The clock starts with the video's first packet (read on to it), or without timed video with the audio.
        if (!m_lastOffset)
            Fill(m_videoStream, m_demuxed);
        if (!m_origin && packet.offset != AV_NOPTS_VALUE)
            m_origin = packet.offset;
        packet.offset = packet.offset == AV_NOPTS_VALUE ? m_audioEnd : packet.offset - *m_origin;
        m_audioEnd = packet.offset + packet.duration;
        return true;
    }

private:
    // More than this since the last key picture is not worth holding on to for the check at the end.
    static constexpr std::size_t kMaxSinceKeyBytes = 64 << 20;

    // Reads until `queue`, of `stream`, has a packet waiting; false at the end of the file.
    template <typename Queue> bool Fill(const AVStream* stream, const Queue& queue)
    {
        while (queue.empty())
        {
            if (m_end || !stream)
                return false;
            const int status = av_read_frame(m_context.get(), m_packet.get());
            if ((m_end = status == AVERROR_EOF))
                return false;
            Check(status, "cannot read '" + info.name + "'");
            const AVPacket& packet = *m_packet;
            const auto owns = [&packet](const AVStream* of) { return of && packet.stream_index == of->index; };
            if (owns(m_videoStream))
            {
                m_demuxed.push_back(Allocated<PacketPtr>(av_packet_alloc()));
                Check(av_packet_ref(m_demuxed.back().get(), &packet), "cannot read '" + info.name + "'");
                if (const std::int64_t time = HostTime(packet, m_videoStream->time_base);
                    time != AV_NOPTS_VALUE && !m_origin)
                    m_origin = time;
                m_lastCorrupt = (packet.flags & AV_PKT_FLAG_CORRUPT) != 0;
                m_lastVideoEnd = packet.pos >= 0 ? packet.pos + packet.size : -1;
            }
            else if (owns(m_audioStream)) // streams that turn up later in the file are not discarded by default
            {
                SourcePacket& queued = m_audioQueue.emplace_back(HostPacket(packet, m_audioStream->time_base));
                // 16-bit little-endian PCM, a WAV file's usual content, goes in big-endian.
                if (m_audioStream->codecpar->codec_id == AV_CODEC_ID_PCM_S16LE)
                    for (std::size_t i = 0; i + 1 < queued.data.size(); i += 2)
                        std::swap(queued.data[i], queued.data[i + 1]);
                // The library takes AAC only as ADTS frames; MP4 and Matroska carry it raw.
                const bool adts = packet.size >= 7 && packet.data[0] == 0xFF && (packet.data[1] & 0xF6) == 0xF0;
                if (info.audio->codec == AV_CODEC_ID_AAC && !adts)
                    queued.data = AdtsFrame();
            }
            av_packet_unref(m_packet.get());
        }
        return true;
    }

    // The packet just read in ADTS frames, as FFmpeg's ADTS muxer makes them.
    std::vector<std::uint8_t> AdtsFrame()
    {
        const std::string what = info.name + ": AAC audio cannot be put in ADTS frames";
        if (!m_adts)
        {
            const AVCodecParameters& parameters = *m_audioStream->codecpar;
            Check(parameters.extradata_size > 0 ? 0 : AVERROR_INVALIDDATA, what); // no AudioSpecificConfig
            AVFormatContext* raw = nullptr;
            Check(avformat_alloc_output_context2(&raw, nullptr, "adts", nullptr), what);
            m_adts.reset(raw);
            AVStream* stream = avformat_new_stream(raw, nullptr);
            Check(stream ? avcodec_parameters_copy(stream->codecpar, &parameters) : AVERROR(ENOMEM), what);
            Check(avio_open_dyn_buf(&raw->pb), what);
            Check(avformat_write_header(raw, nullptr), what);
        }
        m_packet->stream_index = 0;
        Check(av_write_frame(m_adts.get(), m_packet.get()), what);
        std::uint8_t* frame = nullptr;
        const int size = avio_close_dyn_buf(std::exchange(m_adts->pb, nullptr), &frame);
        const std::vector<std::uint8_t> framed = Bytes(frame, size);
        av_free(frame);
        Check(avio_open_dyn_buf(&m_adts->pb), what);
        return framed;
    }

    // The demuxer says so, or it fails to decode after those since the last key picture, strictly as players do.
    bool CutShort(const AVPacket& last) const
    {
        // More of the file after it (audio, an index) means it was written whole.
        const std::int64_t fileSize = avio_size(m_context->pb);
        if (m_lastCorrupt || m_sinceKeyBytes > kMaxSinceKeyBytes || (m_lastVideoEnd >= 0 && m_lastVideoEnd < fileSize))
            return m_lastCorrupt;
        const AVCodecParameters& parameters = *m_videoStream->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
        CodecContextPtr decoder(avcodec_alloc_context3(codec));
        FramePtr frame(av_frame_alloc());
        if (!codec || !decoder || !frame || avcodec_parameters_to_context(decoder.get(), &parameters) < 0)
            return false;
        decoder->err_recognition |= AV_EF_EXPLODE;
        decoder->thread_count = 1; // each error reported with the packet that caused it
        if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
            return false;
        const auto decodes = [&](const AVPacket* packet) { // null: the end
            const int sent = avcodec_send_packet(decoder.get(), packet);
            int status = sent;
            while (sent >= 0 && (status = avcodec_receive_frame(decoder.get(), frame.get())) >= 0)
                av_frame_unref(frame.get());
            return sent >= 0 && (status == AVERROR(EAGAIN) || status == AVERROR_EOF);
        };
        for (const PacketPtr& picture : m_sinceKey)
            if (!decodes(picture.get()))
                return false; // damaged earlier: not a cut at the end
        return !decodes(&last) || !decodes(nullptr);
    }

    InputContextPtr m_context;
    PacketPtr m_packet = Allocated<PacketPtr>(av_packet_alloc());
    const AVStream *m_videoStream = nullptr, *m_audioStream = nullptr;
    std::deque<SourcePacket> m_audioQueue; // read ahead of its turn, offsets in host ticks on the file's clock
    bool m_end = false, m_lastCorrupt = false; // the last picture read: the demuxer could not read all of it
    std::int64_t m_lastVideoEnd = -1;          // where the last picture read ends in the file; -1 unknown
    // Offset 0 is the first timed video packet; audio is timed against it too, keeping the file's distance.
    std::optional<std::int64_t> m_origin, m_lastOffset; // the last picture handed out
    std::int64_t m_audioEnd = 0, m_frameTicks = 0;      // one nominal frame; 0 when unknown
    // The demuxer's own packets (references, not copies): the pictures read ahead of their turn, and
    // those since the last key picture, which the check for a cut-short one decodes.
    std::deque<PacketPtr> m_demuxed;
    std::vector<PacketPtr> m_sinceKey;
    std::size_t m_sinceKeyBytes = 0;
    struct FreeAdts
    {
        void operator()(AVFormatContext* context) const
        {
            std::uint8_t* rest = nullptr;
            if (context->pb)
                avio_close_dyn_buf(context->pb, &rest);
            av_free(rest);
            avformat_free_context(context);
        }
    };
    std::unique_ptr<AVFormatContext, FreeAdts> m_adts;
};

// --- the test card ----------------------------------------------------------

// Digits of a 3x5 block font, one row per entry, bit 2 the left column.
constexpr unsigned char kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void FillRect(AVFrame& frame, int x0, int y0, int w, int h, std::uint8_t luma)
{
    for (int y = y0; y < y0 + h; ++y)
        std::fill_n(frame.data[0] + y * frame.linesize[0] + x0, w, luma);
    for (int y = y0 / 2; y < (y0 + h) / 2; ++y)
        for (int plane = 1; plane <= 2; ++plane)
            std::fill_n(frame.data[plane] + y * frame.linesize[plane] + x0 / 2, (x0 + w) / 2 - x0 / 2, 128);
}

// Drifting colour bands, a moving box and the frame number show a dropped or repeated frame; the
// first fifth of every second is white, with the beep (see the tone), so that sync can be measured.
void DrawFrame(AVFrame& frame, int index)
{
    const int w = TestCard::kWidth, h = TestCard::kHeight;
    if (index % TestCard::kFps < TestCard::kFps / 5)
        FillRect(frame, 0, 0, w, h, 235);
    else
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
            {
                frame.data[0][y * frame.linesize[0] + x] = static_cast<std::uint8_t>(64 + ((x + y + 8 * index) & 127));
                const int band = ((x + 4 * index) / 80) & 3;
                if (y < h / 2 && x < w / 2)
                {
                    frame.data[1][y * frame.linesize[1] + x] = static_cast<std::uint8_t>(64 + 40 * band);
                    frame.data[2][y * frame.linesize[2] + x] = static_cast<std::uint8_t>(192 - 40 * band);
                }
            }
    const int box = 120, cell = 24, digits = 3;
    FillRect(frame, (index * 16) % (w - box), h - box - 40, box, box, 235);
    FillRect(frame, 32, 32, digits * 4 * cell + cell, 7 * cell, 16);
    for (int d = digits - 1, value = index; d >= 0; --d, value /= 10)
        for (int row = 0; row < 5; ++row)
            for (int column = 0; column < 3; ++column)
                if (kDigits[value % 10][row] & (4 >> column))
                    FillRect(frame, 32 + cell + (d * 4 + column) * cell, 32 + cell + row * cell, cell, cell, 235);
}

// Opens `encoder` and encodes `count` frames, each `step` ticks long and filled by `fill(frame, i)`.
template <typename Fill>
std::deque<SourcePacket> Encode(const CodecContextPtr& encoder, const AVCodec* codec, int count, int step, Fill fill)
{
    const auto check = [](int status, const char* what) {
        Check(status, std::string("the test card's ") + what + " failed");
    };
    const auto frame = Allocated<FramePtr>(av_frame_alloc());
    const auto packet = Allocated<PacketPtr>(av_packet_alloc());
    check(avcodec_open2(encoder.get(), codec, nullptr), "encoder");
    const bool video = encoder->codec_type == AVMEDIA_TYPE_VIDEO;
    frame->format = video ? static_cast<int>(encoder->pix_fmt) : static_cast<int>(encoder->sample_fmt);
    frame->width = encoder->width;
    frame->height = encoder->height;
    frame->nb_samples = video ? 0 : step;
    frame->sample_rate = encoder->sample_rate;
    check(av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout), "frame allocation");
    check(av_frame_get_buffer(frame.get(), 0), "frame allocation");
    std::deque<SourcePacket> packets;
    for (int i = 0; i <= count; ++i)
    {
        if (i < count)
        {
            check(av_frame_make_writable(frame.get()), "frame allocation");
            fill(*frame, i);
            frame->pts = static_cast<std::int64_t>(i) * step;
        }
        check(avcodec_send_frame(encoder.get(), i < count ? frame.get() : nullptr), "encoder"); // null: drain
        int status;
        while ((status = avcodec_receive_packet(encoder.get(), packet.get())) >= 0) // unreferences the last first
            packets.push_back(HostPacket(*packet, encoder->time_base));
        if (status != AVERROR(EAGAIN) && status != AVERROR_EOF)
            check(status, "encoder");
    }
    return packets;
}

} // namespace

bool PacketSource::Pop(std::deque<SourcePacket>& queue, SourcePacket& out)
{
    if (queue.empty())
        return false;
    out = std::move(queue.front());
    queue.pop_front();
    return true;
}

std::unique_ptr<PacketSource> OpenFile(const std::string& path, Streams streams)
{
    return std::make_unique<DemuxSource>(path, streams);
}

TestCard::TestCard()
{
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    const bool x264 = codec != nullptr;
    if (!codec && !(codec = avcodec_find_encoder_by_name("mpeg4")))
        throw std::runtime_error("FFmpeg has neither the libx264 nor the mpeg4 encoder for the test card");
    const auto video = Allocated<CodecContextPtr>(avcodec_alloc_context3(codec));
    video->width = kWidth;
    video->height = kHeight;
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->time_base = AVRational{1, kFps};
    video->framerate = AVRational{kFps, 1};
    video->gop_size = kFps;  // a key picture every second, as cameras send them
    video->max_b_frames = 0; // the library times pictures in the order they arrive
    // Parameter sets go to the stream description, as a camera's SDP would carry them.
    video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (!x264)
        video->bit_rate = 4'000'000;
    else
    {
        av_opt_set(video->priv_data, "preset", "veryfast", 0);
        av_opt_set(video->priv_data, "x264-params", "scenecut=0", 0); // the flashes are no scene cuts
    }
    m_video = Encode(video, codec, kFps * kSeconds, 1, DrawFrame);
    info.name = "test card";
    info.video = {codec->id, kWidth, kHeight, Bytes(video->extradata, video->extradata_size), AVRational{kFps, 1}};
    info.durationSeconds = kSeconds;

    // G.711 mu-law in 20 ms packets, as network cameras send it.
    constexpr int kPacketSamples = kSampleRate / 50;
    const AVCodec* mulaw = avcodec_find_encoder(AV_CODEC_ID_PCM_MULAW);
    const auto audio = Allocated<CodecContextPtr>(avcodec_alloc_context3(mulaw));
    audio->sample_rate = kSampleRate;
    audio->sample_fmt = AV_SAMPLE_FMT_S16;
    audio->time_base = AVRational{1, kSampleRate};
    av_channel_layout_default(&audio->ch_layout, 1);
    // A quiet 440 Hz tone with a 1 kHz beep in the first fifth of every second, with the white pictures.
    const auto tone = [](AVFrame& frame, int packet) {
        constexpr double kPi = 3.14159265358979323846;
        for (int i = 0, index = packet * kPacketSamples; i < kPacketSamples; ++i, ++index)
        {
            const bool beep = index % kSampleRate < kSampleRate / 5;
            reinterpret_cast<std::int16_t*>(frame.data[0])[i] = static_cast<std::int16_t>(
                32767 * (beep ? 0.5 : 0.1) * std::sin(2 * kPi * (beep ? 1000 : 440) * index / kSampleRate));
        }
    };
    m_audio = Encode(audio, mulaw, kSampleRate * kSeconds / kPacketSamples, kPacketSamples, tone);
    info.audio = AudioDescription{AV_CODEC_ID_PCM_MULAW, kSampleRate, 1, 1, 0, {}};
}

} // namespace mpegexport
