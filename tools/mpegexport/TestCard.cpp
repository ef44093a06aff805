#include "TestCard.h"

#include "FfmpegHandles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <stdexcept>

namespace mpegexport
{
namespace
{
constexpr AVRational kFrameTimeBase{1, TestCard::kFps};
constexpr AVRational kHostTimeBase{1, static_cast<int>(kHostTicksPerSecond)};
constexpr int kFrames = TestCard::kFps * TestCard::kSeconds;
// Audio in 20 ms packets, as network cameras send G.711.
constexpr int kPacketSamples = TestCard::kSampleRate / 50;

// Digits of a 3x5 block font, one row per entry, bit 2 the left column.
constexpr unsigned char kDigits[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

void FillRect(AVFrame& frame, int x0, int y0, int w, int h, std::uint8_t luma)
{
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            frame.data[0][y * frame.linesize[0] + x] = luma;
    for (int y = y0 / 2; y < (y0 + h) / 2; ++y)
        for (int x = x0 / 2; x < (x0 + w) / 2; ++x)
        {
            frame.data[1][y * frame.linesize[1] + x] = 128;
            frame.data[2][y * frame.linesize[2] + x] = 128;
        }
}

// Diagonal colour bands drifting right, a box crossing the picture, and the
// frame number in large blocks, so that every picture differs and a dropped
// or repeated frame shows. The first fifth of every second is white behind
// the box and the number, together with the beep (ToneSample), so that sync
// can be measured from the decoded file.
void DrawFrame(AVFrame& frame, int index)
{
    const int w = TestCard::kWidth;
    const int h = TestCard::kHeight;
    if (index % TestCard::kFps < TestCard::kFps / 5)
        FillRect(frame, 0, 0, w, h, 235);
    else
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                frame.data[0][y * frame.linesize[0] + x] =
                    static_cast<std::uint8_t>(64 + ((x + y + 8 * index) & 127));
        for (int y = 0; y < h / 2; ++y)
            for (int x = 0; x < w / 2; ++x)
            {
                const int band = ((x + 4 * index) / 80) & 3;
                frame.data[1][y * frame.linesize[1] + x] = static_cast<std::uint8_t>(64 + 40 * band);
                frame.data[2][y * frame.linesize[2] + x] = static_cast<std::uint8_t>(192 - 40 * band);
            }
    }

    const int box = 120;
    FillRect(frame, (index * 16) % (w - box), h - box - 40, box, box, 235);

    constexpr int cell = 24;
    const int digits = 3;
    FillRect(frame, 32, 32, digits * 4 * cell + cell, 7 * cell, 16);
    int value = index;
    for (int d = digits - 1; d >= 0; --d, value /= 10)
        for (int row = 0; row < 5; ++row)
            for (int column = 0; column < 3; ++column)
                if (kDigits[value % 10][row] & (4 >> column))
                    FillRect(frame, 32 + cell + (d * 4 + column) * cell, 32 + cell + row * cell, cell, cell, 235);
}

CodecContextPtr OpenEncoder()
{
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    const bool x264 = codec != nullptr;
    if (!codec)
        codec = avcodec_find_encoder_by_name("mpeg4");
    if (!codec)
        throw std::runtime_error("FFmpeg has neither the libx264 nor the mpeg4 encoder for the test card");

    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        throw std::bad_alloc();
    context->width = TestCard::kWidth;
    context->height = TestCard::kHeight;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = kFrameTimeBase;
    context->framerate = av_inv_q(kFrameTimeBase);
    context->gop_size = TestCard::kFps; // a key picture every second, as cameras send them
    // The library times pictures in the order they arrive, so none may be
    // sent ahead of the pictures it follows.
    context->max_b_frames = 0;
    // Parameter sets go to the stream description, as a camera's SDP would carry them.
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (x264)
    {
        av_opt_set(context->priv_data, "preset", "veryfast", 0);
        // The flashes are scene cuts; key pictures stay on whole seconds.
        av_opt_set(context->priv_data, "x264-params", "scenecut=0", 0);
    }
    else
        context->bit_rate = 4'000'000;
    if (const int status = avcodec_open2(context.get(), codec, nullptr); status < 0)
        throw std::runtime_error(std::string("cannot open the ") + codec->name +
                                 " encoder for the test card: " + AvErrorText(status));
    return context;
}

// A quiet 440 Hz tone with a 1 kHz beep in the first fifth of every second,
// with the white pictures 0-4, 25-29, ...: sync can be checked by ear and eye.
std::int16_t ToneSample(int index)
{
    constexpr double kPi = 3.14159265358979323846;
    const int rate = TestCard::kSampleRate;
    const bool beep = index % rate < rate / 5;
    const double frequency = beep ? 1000 : 440;
    const double amplitude = beep ? 0.5 : 0.1;
    return static_cast<std::int16_t>(32767 * amplitude * std::sin(2 * kPi * frequency * index / rate));
}

std::vector<SourcePacket> EncodeTone()
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_MULAW);
    if (!codec)
        throw std::runtime_error("FFmpeg has no G.711 mu-law encoder for the test card's tone");
    CodecContextPtr encoder(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!encoder || !frame || !packet)
        throw std::bad_alloc();
    encoder->sample_rate = TestCard::kSampleRate;
    encoder->sample_fmt = AV_SAMPLE_FMT_S16;
    encoder->time_base = AVRational{1, TestCard::kSampleRate};
    av_channel_layout_default(&encoder->ch_layout, 1);
    if (const int status = avcodec_open2(encoder.get(), codec, nullptr); status < 0)
        throw std::runtime_error("cannot open the G.711 encoder for the test card: " + AvErrorText(status));

    frame->format = AV_SAMPLE_FMT_S16;
    frame->nb_samples = kPacketSamples;
    frame->sample_rate = TestCard::kSampleRate;
    av_channel_layout_default(&frame->ch_layout, 1);
    if (const int status = av_frame_get_buffer(frame.get(), 0); status < 0)
        throw std::runtime_error("cannot allocate the test card's tone: " + AvErrorText(status));

    std::vector<SourcePacket> packets;
    const int total = TestCard::kSampleRate * TestCard::kSeconds;
    for (int first = 0; first < total; first += kPacketSamples)
    {
        if (const int status = av_frame_make_writable(frame.get()); status < 0)
            throw std::runtime_error("cannot make the test card's tone: " + AvErrorText(status));
        auto* samples = reinterpret_cast<std::int16_t*>(frame->data[0]);
        for (int i = 0; i < kPacketSamples; ++i)
            samples[i] = ToneSample(first + i);
        frame->pts = first;
        int status = avcodec_send_frame(encoder.get(), frame.get());
        if (status >= 0)
            status = avcodec_receive_packet(encoder.get(), packet.get());
        if (status < 0)
            throw std::runtime_error("the test card's tone encoder failed: " + AvErrorText(status));
        SourcePacket out;
        out.data.assign(packet->data, packet->data + packet->size);
        out.offset = av_rescale_q(first, encoder->time_base, kHostTimeBase);
        out.duration = av_rescale_q(kPacketSamples, encoder->time_base, kHostTimeBase);
        out.key = true;
        packets.push_back(std::move(out));
        av_packet_unref(packet.get());
    }
    return packets;
}

class MemoryReader final : public PacketSource
{
public:
    // Without audio in `info`, the audio packets are not read.
    MemoryReader(SourceInfo info, const std::vector<SourcePacket>& video, const std::vector<SourcePacket>& audio)
        : m_info(std::move(info)), m_video(video), m_audio(audio)
    {
    }

    const SourceInfo& Info() const override { return m_info; }
    bool Next(SourcePacket& packet) override { return Take(m_video, m_nextVideo, packet); }
    bool NextAudio(SourcePacket& packet) override { return m_info.audio && Take(m_audio, m_nextAudio, packet); }

    double Fraction() const override
    {
        return m_video.empty() ? 1.0 : static_cast<double>(m_nextVideo) / static_cast<double>(m_video.size());
    }

private:
    static bool Take(const std::vector<SourcePacket>& packets, std::size_t& next, SourcePacket& packet)
    {
        if (next == packets.size())
            return false;
        packet = packets[next++];
        return true;
    }

    SourceInfo m_info;
    const std::vector<SourcePacket>& m_video;
    const std::vector<SourcePacket>& m_audio;
    std::size_t m_nextVideo = 0;
    std::size_t m_nextAudio = 0;
};
} // namespace

TestCard::TestCard()
{
    CodecContextPtr encoder = OpenEncoder();
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        throw std::bad_alloc();
    frame->format = encoder->pix_fmt;
    frame->width = encoder->width;
    frame->height = encoder->height;
    if (const int status = av_frame_get_buffer(frame.get(), 0); status < 0)
        throw std::runtime_error("cannot allocate a test card picture: " + AvErrorText(status));

    auto receive = [&] {
        int status;
        while ((status = avcodec_receive_packet(encoder.get(), packet.get())) >= 0)
        {
            SourcePacket out;
            out.data.assign(packet->data, packet->data + packet->size);
            out.offset = av_rescale_q(packet->pts, encoder->time_base, kHostTimeBase);
            out.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            m_packets.push_back(std::move(out));
            av_packet_unref(packet.get());
        }
        if (status != AVERROR(EAGAIN) && status != AVERROR_EOF)
            throw std::runtime_error("the test card encoder failed: " + AvErrorText(status));
    };

    for (int index = 0; index < kFrames; ++index)
    {
        if (const int status = av_frame_make_writable(frame.get()); status < 0)
            throw std::runtime_error("cannot draw a test card picture: " + AvErrorText(status));
        DrawFrame(*frame, index);
        frame->pts = index;
        if (const int status = avcodec_send_frame(encoder.get(), frame.get()); status < 0)
            throw std::runtime_error("the test card encoder failed: " + AvErrorText(status));
        receive();
    }
    avcodec_send_frame(encoder.get(), nullptr);
    receive();

    m_info.name = "test card";
    m_info.video.codec = encoder->codec_id;
    m_info.video.width = kWidth;
    m_info.video.height = kHeight;
    m_info.video.frameRate = av_inv_q(kFrameTimeBase);
    if (encoder->extradata_size > 0)
        m_info.video.extraData.assign(encoder->extradata, encoder->extradata + encoder->extradata_size);
    m_info.durationSeconds = kSeconds;

    m_audioPackets = EncodeTone();
    AudioDescription audio;
    audio.source = m_info.name;
    audio.codec = AV_CODEC_ID_PCM_MULAW;
    audio.sampleRate = kSampleRate;
    audio.channels = 1;
    audio.blockAlign = 1;
    m_info.audio = std::move(audio);
}

std::unique_ptr<PacketSource> TestCard::NewReader(bool withAudio) const
{
    SourceInfo info = m_info;
    if (!withAudio)
        info.audio.reset();
    return std::make_unique<MemoryReader>(std::move(info), m_packets, m_audioPackets);
}

} // namespace mpegexport
