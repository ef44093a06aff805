#include "transcoding/Codec.h"

#include <mpegexporter/MpegExporterException.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
using Bytes = std::vector<std::uint8_t>;
using PacketPtr = std::unique_ptr<AVPacket, Mpeg::AvFreeByAddress<AVPacket, av_packet_free>>;
constexpr int kWidth = 64;
constexpr int kHeight = 48;

// Frames handed to an encoder so far; the field was renamed in libavcodec 60.
std::int64_t FramesSent(const AVCodecContext& context)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 2, 100)
    return context.frame_num;
#else
    return context.frame_number;
#endif
}

Mpeg::AvCodecParametersPtr Audio(AVCodecID id, AVSampleFormat format, int sampleRate, int channels = 1)
{
    auto parameters = Mpeg::AllocateCodecParameters();
    parameters->codec_type = AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = id;
    parameters->format = format;
    parameters->sample_rate = sampleRate;
    av_channel_layout_default(&parameters->ch_layout, channels);
    return parameters;
}

Mpeg::AvCodecParametersPtr Video(AVCodecID id)
{
    auto parameters = Mpeg::AllocateCodecParameters();
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = id;
    parameters->format = AV_PIX_FMT_YUV420P;
    parameters->width = kWidth;
    parameters->height = kHeight;
    return parameters;
}

Mpeg::StreamParameters Describe(const Mpeg::AvCodecParametersPtr& parameters, int index, AVRational timeBase)
{
    return Mpeg::StreamParameters{parameters.get(), index, timeBase};
}

std::unique_ptr<Mpeg::OwnedPacket> PacketOf(const Bytes& bytes)
{
    return Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
}

// MPEG-4 with B-frames and in-band headers: its decoder holds each reference
// picture back until the next one arrives.
std::vector<Bytes> Mpeg4WithBFrames(int frames)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    Mpeg::AvCodecContextPtr context = Mpeg::AllocateCodecContext(codec);
    context->width = kWidth;
    context->height = kHeight;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, 25};
    context->max_b_frames = 2;
    EXPECT_EQ(avcodec_open2(context.get(), codec, nullptr), 0);
    std::vector<Bytes> packets;
    PacketPtr packet(av_packet_alloc());
    for (int i = 0; i <= frames; ++i)
    {
        Mpeg::AvFramePtr frame = Mpeg::AllocateFrame();
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = kWidth;
        frame->height = kHeight;
        EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
        for (int plane = 0; plane < 3; ++plane)
            std::memset(frame->data[plane], 40 + 7 * i + 50 * plane, frame->linesize[plane] * (plane ? kHeight / 2 : kHeight));
        frame->pts = i;
        avcodec_send_frame(context.get(), i < frames ? frame.get() : nullptr);
        while (avcodec_receive_packet(context.get(), packet.get()) == 0)
        {
            packets.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet.get());
        }
    }
    return packets;
}

// The text of the AvException that `call` throws; empty when it throws none.
std::string Failure(const std::function<void()>& call)
{
    try
    {
        call();
    }
    catch (const Mpeg::AvException& e)
    {
        return e.what();
    }
    return {};
}
} // namespace

TEST(Codec, PcmCodecsWithoutFrameSizeGetOneAndOthersKeepTheirs)
{
    struct Case
    {
        AVCodecID id;
        AVSampleFormat format;
        int expected;
    };
    const Case cases[] = {
        {AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16, 1},
        {AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 1},
        {AV_CODEC_ID_PCM_F64BE, AV_SAMPLE_FMT_DBL, 1},
        {AV_CODEC_ID_PCM_U16LE, AV_SAMPLE_FMT_S16, 0}, // unsigned 16-bit is not among them
        {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 1024},
    };
    for (const Case& c : cases)
    {
        auto parameters = Audio(c.id, c.format, 16000);
        Mpeg::Encoder encoder(Describe(parameters, 0, AVRational{1, 16000}), false);
        EXPECT_EQ(parameters->frame_size, c.expected) << avcodec_get_name(c.id);

        auto other = Mpeg::AllocateCodecParameters();
        encoder.FillParameters(Describe(other, 9, AVRational{1, 1}));
        EXPECT_EQ(other->codec_id, c.id);
        EXPECT_EQ(other->sample_rate, 16000);
        EXPECT_EQ(other->frame_size, c.expected) << avcodec_get_name(c.id);
    }
}

TEST(Codec, GlobalHeaderFlagOnlyWhenAskedAndNeverOnDecoders)
{
    const int defaultFlags = Mpeg::AllocateCodecContext(avcodec_find_encoder(AV_CODEC_ID_MPEG4))->flags;
    for (bool globalHeader : {false, true})
    {
        auto parameters = Video(AV_CODEC_ID_MPEG4);
        Mpeg::Encoder encoder(Describe(parameters, 0, AVRational{1, 25}), globalHeader);
        if (globalHeader)
        {
            EXPECT_TRUE(encoder.GetContext()->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
            EXPECT_GT(parameters->extradata_size, 0) << "the stream headers belong in the parameters";
        }
        else
        {
            EXPECT_EQ(encoder.GetContext()->flags, defaultFlags);
        }
        Mpeg::Decoder decoder(Describe(parameters, 0, AVRational{1, 25}));
        EXPECT_FALSE(decoder.GetContext()->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    }
}

TEST(Codec, DecoderYieldsNothingWhileItWaitsThenDrainsTheRestOnce)
{
    const auto packets = Mpeg4WithBFrames(8);
    auto parameters = Video(AV_CODEC_ID_MPEG4);
    Mpeg::Decoder decoder(Describe(parameters, 0, AVRational{1, 25}));

    EXPECT_TRUE(decoder.Decode(PacketOf(packets[0]).get()).empty()) << "the first picture waits for the next";
    std::size_t frames = 0;
    for (std::size_t i = 1; i < packets.size(); ++i)
        frames += decoder.Decode(PacketOf(packets[i]).get()).size();
    ASSERT_LT(frames, 8u);
    frames += decoder.Decode(nullptr).size();
    EXPECT_EQ(frames, 8u);

    EXPECT_EQ(Failure([&] { decoder.Decode(nullptr); }).rfind("FfMpegFacade: ::avcodec_send_packet: ", 0), 0u);
    EXPECT_EQ(Failure([&] { decoder.Decode(PacketOf(packets[0]).get()); }).rfind("FfMpegFacade: ::avcodec_send_packet: ", 0),
              0u);
}

TEST(Codec, EncoderReturnsNothingDuringItsDelayAndOnePacketPerCall)
{
    auto parameters = Audio(AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 48000);
    Mpeg::Encoder encoder(Describe(parameters, 0, AVRational{1, 48000}), false);
    Mpeg::AvFramePtr frame = Mpeg::CreateAudioFrame(*parameters);
    Mpeg::FillSilence(*frame);

    frame->pts = 0;
    EXPECT_EQ(encoder.Encode(frame.get()), nullptr) << "the first frame only fills the delay";
    for (int i = 1; i < 4; ++i)
    {
        frame->pts = i * 1024;
        EXPECT_NE(encoder.Encode(frame.get()), nullptr) << i;
    }
    EXPECT_NE(encoder.Encode(nullptr), nullptr);
    // The draining call took out one packet and left the rest in the codec.
    PacketPtr left(av_packet_alloc());
    EXPECT_EQ(avcodec_receive_packet(encoder.GetContext(), left.get()), 0);
    EXPECT_EQ(Failure([&] { encoder.Encode(nullptr); }).rfind("FfMpegFacade: ::avcodec_send_frame: ", 0), 0u);
}

TEST(Codec, EncodedPacketsCarryTheStreamIndexAndTheObjectsTimeBase)
{
    for (int index : {-1, 3})
    {
        auto parameters = Audio(AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16, 8000);
        Mpeg::Encoder encoder(Describe(parameters, index, AVRational{1, 8000}), false);
        // Let the codec count in a finer clock than the stream's: packets must
        // come back in the stream's.
        encoder.GetContext()->time_base = AVRational{1, 16000};
        parameters->frame_size = 160;
        Mpeg::AvFramePtr frame = Mpeg::CreateAudioFrame(*parameters);
        Mpeg::FillSilence(*frame);
        frame->pts = 3200;
        const auto packet = encoder.Encode(frame.get());
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->packet.stream_index, index);
        EXPECT_EQ(packet->packet.pts, 1600);
        EXPECT_EQ(packet->packet.dts, 1600);
        EXPECT_EQ(packet->packet.size, 320);
    }
}

TEST(Codec, SilentPacketOfPcmIsOneFrameOfOneSample)
{
    struct Case
    {
        AVCodecID id;
        AVSampleFormat format;
        int channels;
        Bytes expected;
    };
    const Case cases[] = {
        {AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 1, {0xFF}}, // mu-law's zero
        {AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16, 2, {0, 0, 0, 0}},
        {AV_CODEC_ID_PCM_F32BE, AV_SAMPLE_FMT_FLT, 1, {0, 0, 0, 0}},
    };
    for (const Case& c : cases)
    {
        auto parameters = Audio(c.id, c.format, 8000, c.channels);
        Mpeg::Encoder encoder(Describe(parameters, 2, AVRational{1, 8000}), false);
        const auto packet = encoder.CreateSilentPacket();
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(FramesSent(*encoder.GetContext()), 1) << avcodec_get_name(c.id);
        EXPECT_EQ(Bytes(packet->packet.data, packet->packet.data + packet->packet.size), c.expected)
            << avcodec_get_name(c.id);
        EXPECT_EQ(packet->packet.stream_index, 2);
    }
}

TEST(Codec, SilentPacketOfAacNeedsTheFrameMoreThanOnce)
{
    auto parameters = Audio(AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 16000);
    Mpeg::Encoder encoder(Describe(parameters, 1, AVRational{1, 16000}), true);
    const auto packet = encoder.CreateSilentPacket();
    ASSERT_NE(packet, nullptr);
    EXPECT_GT(packet->packet.size, 0);
    EXPECT_GT(FramesSent(*encoder.GetContext()), 1);
    EXPECT_EQ(packet->packet.stream_index, 1);
}

TEST(Codec, SilenceClearsEveryPlaneOrTheWholeInterleavedBuffer)
{
    for (AVSampleFormat format : {AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_S16})
    {
        auto parameters = Audio(AV_CODEC_ID_PCM_S16LE, format, 8000, 2);
        parameters->frame_size = 100;
        Mpeg::AvFramePtr frame = Mpeg::CreateAudioFrame(*parameters);
        const bool planar = av_sample_fmt_is_planar(format);
        const std::size_t bytes = 100u * av_get_bytes_per_sample(format) * (planar ? 1 : 2);
        for (int plane = 0; plane < (planar ? 2 : 1); ++plane)
            std::memset(frame->extended_data[plane], 0xAB, bytes);
        Mpeg::FillSilence(*frame);
        for (int plane = 0; plane < (planar ? 2 : 1); ++plane)
            EXPECT_EQ(Bytes(frame->extended_data[plane], frame->extended_data[plane] + bytes), Bytes(bytes, 0))
                << av_get_sample_fmt_name(format) << " plane " << plane;
    }
}

TEST(Codec, TranscoderPassesEveryPictureThroughDespiteTheDecoderDelay)
{
    const auto source = Mpeg4WithBFrames(10);
    auto input = Video(AV_CODEC_ID_MPEG4);
    auto output = Video(AV_CODEC_ID_MPEG4);
    Mpeg::Transcoder transcoder(Describe(input, 0, AVRational{1, 25}), Describe(output, 7, AVRational{1, 25}), false);

    EXPECT_TRUE(transcoder.TranscodePacket(*PacketOf(source[0])).empty());
    Mpeg::PacketSequence packets;
    for (std::size_t i = 1; i <= source.size(); ++i)
        for (auto& p : i < source.size() ? transcoder.TranscodePacket(*PacketOf(source[i])) : transcoder.FlushPackets())
            packets.push_back(std::move(p));
    EXPECT_EQ(packets.size(), 10u);
    for (const auto& p : packets)
        EXPECT_EQ(p->packet.stream_index, 7);
}
