#include "transcoding/Codec.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

extern "C" {
#include <libavutil/channel_layout.h>
}

using TestMedia::Bytes;
using TestMedia::StrError;
using TestMedia::Thrown;

namespace
{
using PacketPtr = std::unique_ptr<AVPacket, Mpeg::AvDeleter<av_packet_free>>;

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

Mpeg::AvCodecParametersPtr Video()
{
    auto parameters = Mpeg::AllocateCodecParameters();
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_MPEG4;
    parameters->format = AV_PIX_FMT_YUV420P;
    parameters->width = 64;
    parameters->height = 48;
    return parameters;
}

std::unique_ptr<Mpeg::OwnedPacket> PacketOf(const Bytes& bytes)
{
    return Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
}

// MPEG-4 with B-pictures and in-band headers: its decoder holds each
// reference picture back until the next one arrives.
std::vector<Bytes> Mpeg4WithBFrames(int frames)
{
    return TestMedia::EncodeVideo("mpeg4", 64, 48, frames, 25, 12, false, 2).packets;
}

std::string AfterEnd(const char* call)
{
    return "AvException " + std::to_string(-AVERROR_EOF) + ": FfMpegFacade: " + call + ": " + StrError(AVERROR_EOF);
}
} // namespace

TEST(Codec, PcmCodecsWithoutFrameSizeGetOneAndOthersKeepTheirs)
{
    const std::tuple<AVCodecID, AVSampleFormat, int> cases[] = {
        {AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16, 1},
        {AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 1},
        {AV_CODEC_ID_PCM_F64BE, AV_SAMPLE_FMT_DBL, 1},
        {AV_CODEC_ID_PCM_U16LE, AV_SAMPLE_FMT_S16, 0}, // unsigned 16-bit is not among them
        {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 1024},
    };
    for (const auto& [id, format, expected] : cases)
    {
        auto parameters = Audio(id, format, 16000);
        Mpeg::Encoder encoder({parameters.get(), 0, {1, 16000}}, false);
        EXPECT_EQ(parameters->frame_size, expected) << avcodec_get_name(id);
    }
}

TEST(Codec, GlobalHeaderFlagOnlyWhenAskedAndNeverOnDecoders)
{
    const int defaultFlags = Mpeg::AllocateCodecContext(avcodec_find_encoder(AV_CODEC_ID_MPEG4))->flags;
    for (bool globalHeader : {false, true})
    {
        auto parameters = Video();
        Mpeg::Encoder encoder({parameters.get(), 0, {1, 25}}, globalHeader);
        const int flags = encoder.GetContext()->flags;
        EXPECT_EQ(flags, globalHeader ? defaultFlags | AV_CODEC_FLAG_GLOBAL_HEADER : defaultFlags);
        // The stream headers belong in the parameters exactly when they are global.
        EXPECT_EQ(parameters->extradata_size > 0, globalHeader);
        Mpeg::Decoder decoder({parameters.get(), 0, {1, 25}});
        EXPECT_FALSE(decoder.GetContext()->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    }
}

TEST(Codec, EncoderReturnsNothingDuringItsDelayAndOnePacketPerCall)
{
    auto parameters = Audio(AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 48000);
    Mpeg::Encoder encoder({parameters.get(), 0, {1, 48000}}, false);
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
    EXPECT_EQ(Thrown([&] { encoder.Encode(nullptr); }), AfterEnd("::avcodec_send_frame"));
}

TEST(Codec, EncoderRefusesPicturesThatDoNotMatchItsContext)
{
    auto parameters = Video();
    Mpeg::Encoder encoder({parameters.get(), 0, {1, 25}}, false);
    const std::string refused = "AvException 22: FfMpegFacade: ::avcodec_send_frame: " + StrError(AVERROR(EINVAL));
    const std::tuple<int, int, AVPixelFormat> frames[] = {
        {128, 48, AV_PIX_FMT_YUV420P}, {64, 96, AV_PIX_FMT_YUV420P}, {64, 48, AV_PIX_FMT_YUV444P}};
    for (const auto& [width, height, format] : frames)
    {
        Mpeg::AvFramePtr frame = Mpeg::AllocateFrame();
        frame->width = width;
        frame->height = height;
        frame->format = format;
        ASSERT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
        EXPECT_EQ(Thrown([&] { encoder.Encode(frame.get()); }), refused) << width << "x" << height;
    }
}

TEST(Codec, EncodedPacketsCarryTheStreamIndexAndTheObjectsTimeBase)
{
    for (int index : {-1, 3})
    {
        auto parameters = Audio(AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16, 8000);
        Mpeg::Encoder encoder({parameters.get(), index, {1, 8000}}, false);
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

// PCM yields its packet for the first frame of one sample; AAC needs the
// frame more than once.
TEST(Codec, SilentPacketIsTheFirstPacketEncodedFromSilence)
{
    struct Case
    {
        AVCodecID id;
        AVSampleFormat format;
        int channels;
        Bytes expected; // empty: any non-empty packet
        bool globalHeader;
    };
    const Case cases[] = {
        {AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 1, {0xFF}, false}, // mu-law's zero
        {AV_CODEC_ID_PCM_S16LE, AV_SAMPLE_FMT_S16, 2, {0, 0, 0, 0}, false},
        {AV_CODEC_ID_PCM_F32BE, AV_SAMPLE_FMT_FLT, 1, {0, 0, 0, 0}, false},
        {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 1, {}, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(avcodec_get_name(c.id));
        auto parameters = Audio(c.id, c.format, 16000, c.channels);
        Mpeg::Encoder encoder({parameters.get(), 2, {1, 16000}}, c.globalHeader);
        const auto packet = encoder.CreateSilentPacket();
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(packet->packet.stream_index, 2);
        if (c.expected.empty())
        {
            EXPECT_GT(packet->packet.size, 0);
            EXPECT_GT(FramesSent(*encoder.GetContext()), 1);
        }
        else
        {
            EXPECT_EQ(Bytes(packet->packet.data, packet->packet.data + packet->packet.size), c.expected);
            EXPECT_EQ(FramesSent(*encoder.GetContext()), 1);
        }
    }
}

// Streams declared with more than one channel carry a count without an
// order; encoders get the usual order for it and write it back.
TEST(Codec, EncodersOpenForADeclaredChannelCount)
{
    for (AVCodecID id : {AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_MULAW})
    {
        SCOPED_TRACE(avcodec_get_name(id));
        auto parameters = Audio(id, id == AV_CODEC_ID_AAC ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16, 8000);
        av_channel_layout_uninit(&parameters->ch_layout);
        parameters->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        parameters->ch_layout.nb_channels = 2;
        Mpeg::Encoder encoder({parameters.get(), 0, {1, 8000}}, false);
        EXPECT_EQ(parameters->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
        EXPECT_EQ(parameters->ch_layout.u.mask, AV_CH_LAYOUT_STEREO);
        EXPECT_NE(encoder.CreateSilentPacket(), nullptr);
    }
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

// The decoder holds the first picture back; the flush drains it through the
// encoder, and the codecs take nothing after that.
TEST(Codec, TranscoderPassesEveryPictureThroughDespiteTheDecoderDelay)
{
    const auto source = Mpeg4WithBFrames(10);
    auto input = Video();
    auto output = Video();
    Mpeg::Transcoder transcoder({input.get(), 0, {1, 25}}, {output.get(), 7, {1, 25}}, false);

    EXPECT_TRUE(transcoder.TranscodePacket(*PacketOf(source[0])).empty()) << "the first picture waits for the next";
    Mpeg::PacketSequence packets;
    for (std::size_t i = 1; i < source.size(); ++i)
        for (auto& p : transcoder.TranscodePacket(*PacketOf(source[i])))
            packets.push_back(std::move(p));
    ASSERT_LT(packets.size(), 10u);
    for (auto& p : transcoder.FlushPackets())
        packets.push_back(std::move(p));
    EXPECT_EQ(packets.size(), 10u);
    for (const auto& p : packets)
        EXPECT_EQ(p->packet.stream_index, 7);
    EXPECT_EQ(Thrown([&] { transcoder.FlushPackets(); }), AfterEnd("::avcodec_send_packet"));
    EXPECT_EQ(Thrown([&] { transcoder.TranscodePacket(*PacketOf(source[0])); }), AfterEnd("::avcodec_send_packet"));
}
