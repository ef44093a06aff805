#include "streams/StreamProcessorVideo.h"

#include "container/FormatContext.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
using Bytes = std::vector<std::uint8_t>;
using Mpeg::CodecIdVideo;

constexpr std::int64_t kDrop = -1;

// One export's contexts and its video processor, writing to out.mp4.
struct Export
{
    TestMedia::TempDir dir;
    std::filesystem::path path = dir / "out.mp4";
    Mpeg::FormatContextInput input;
    Mpeg::FormatContextOutput output{TestMedia::Wide(path)};
    std::unique_ptr<Mpeg::StreamProcessorVideo> processor;

    Export(CodecIdVideo codecId, int width, int height, std::int32_t timeScale = 25, std::uint64_t startTime = 0,
           std::int32_t timestampOffset = 0, const Bytes& extradata = {}, std::int32_t index = 0)
    {
        auto parameters = std::make_unique<Mpeg::StreamParametersVideo>();
        parameters->codecId = codecId;
        parameters->width = width;
        parameters->height = height;
        parameters->timeScale = timeScale;
        parameters->startTime = startTime;
        parameters->timestampOffset = timestampOffset;
        parameters->codecConfiguration.extraData = extradata;
        processor = std::make_unique<Mpeg::StreamProcessorVideo>(index, input, std::move(parameters));
    }

    // Opens the file and writes the header (which may change the output time base).
    void Open()
    {
        AVFormatContext* context = output.GetAvFormatContext();
        ASSERT_GE(avio_open(&context->pb, context->url, AVIO_FLAG_WRITE), 0);
        ASSERT_GE(avformat_write_header(context, nullptr), 0);
    }

    void Write(Mpeg::PacketSequence packets)
    {
        for (auto& packet : packets)
            output.WritePacket(packet->packet);
    }

    void Close()
    {
        Write(processor->Flush());
        AVFormatContext* context = output.GetAvFormatContext();
        ASSERT_GE(av_interleaved_write_frame(context, nullptr), 0);
        ASSERT_GE(av_write_trailer(context), 0);
        avio_closep(&context->pb);
    }
};

Mpeg::MediaPacket HostPacket(std::uint64_t timestamp, Bytes data = {0, 0, 1, 0xB6})
{
    return Mpeg::MediaPacket{std::move(data), timestamp};
}

struct Presentation
{
    std::vector<bool> discarded; // per packet of stream 0, in file order
    AVRational streamAspectRatio{0, 1};
    int width = 0;
    int height = 0;
};

// What a player is told about stream 0: which packets lie outside the track's
// edit (AV_PKT_FLAG_DISCARD), the stream's sample aspect ratio and the picture
// size (the MP4 demuxer leaves MPEG-4's to the decoder, hence the probe).
Presentation ReadPresentation(const std::filesystem::path& path)
{
    Presentation result;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0)
    {
        ADD_FAILURE() << "cannot open " << path;
        return result;
    }
    result.streamAspectRatio = context->streams[0]->sample_aspect_ratio;
    if (avformat_find_stream_info(context, nullptr) >= 0)
    {
        result.width = context->streams[0]->codecpar->width;
        result.height = context->streams[0]->codecpar->height;
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(context, packet) >= 0)
    {
        if (packet->stream_index == 0)
            result.discarded.push_back((packet->flags & AV_PKT_FLAG_DISCARD) != 0);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&context);
    return result;
}
} // namespace

TEST(StreamProcessorVideo, TimesPacketsOnTheStreamClock)
{
    struct Case
    {
        const char* name;
        std::int32_t timeScale;
        std::uint64_t start;
        std::int32_t offset;
        std::vector<std::uint64_t> timestamps;
        std::vector<std::int64_t> pts; // kDrop: no packet
    };
    const Case cases[] = {
        {"one tick early is dropped", 25, 1000, 0, {999, 1000, 999, 401000}, {kDrop, 1, kDrop, 2}},
        {"first at start, then 40 ms", 1000, 0, 0, {0, 400000}, {1, 40}},
        {"equal timestamps", 1000, 0, 0, {0, 400000, 400000, 400000}, {1, 40, 41, 42}},
        {"a step back", 1000, 0, 0, {0, 1000000, 500000, 1010000}, {1, 100, 101, 102}},
        {"offset added", 1000, 0, 100, {0, 400000}, {100, 140}},
        {"negative offset", 1000, 0, -50, {0, 400000, 10000000}, {1, 2, 950}},
        {"half a tick rounds up", 1, 0, 0, {15000000}, {2}},
        {"just under half rounds down", 1, 0, 0, {14999999}, {1}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Export exp(CodecIdVideo::Mpeg4, 64, 48, c.timeScale, c.start, c.offset, {}, 4);
        exp.processor->Build(exp.output);
        ASSERT_EQ(exp.processor->m_transcoder, nullptr);
        std::int64_t dts = 0;
        for (std::size_t i = 0; i < c.timestamps.size(); ++i)
        {
            const auto lastPts = exp.processor->m_lastPts;
            const auto count = exp.processor->m_packetCount;
            const auto packets = exp.processor->ProcessPacket(HostPacket(c.timestamps[i]));
            if (c.pts[i] == kDrop)
            {
                EXPECT_TRUE(packets.empty()) << i;
                EXPECT_EQ(exp.processor->m_lastPts, lastPts) << i;
                EXPECT_EQ(exp.processor->m_packetCount, count) << i;
                continue;
            }
            ASSERT_EQ(packets.size(), 1u) << i;
            EXPECT_EQ(packets[0]->packet.pts, c.pts[i]) << i;
            EXPECT_EQ(packets[0]->packet.dts, dts++) << i;
            EXPECT_EQ(packets[0]->packet.stream_index, 4) << i;
        }
    }
    EXPECT_EQ(Mpeg::ElapsedTicks(5000000, 0, 1), 1u);
    EXPECT_EQ(Mpeg::ElapsedTicks(4999999, 0, 1), 0u);
    EXPECT_EQ(Mpeg::ElapsedTicks(360000000000ull, 0, 90000), 3240000000u) << "ten hours at 90 kHz";
}

TEST(StreamProcessorVideo, CopyPathWritesTheHostBytesAndShowsTheLastPicture)
{
    const auto media = TestMedia::EncodeVideo("mpeg4", 176, 144, 10, 25, 5);
    Export exp(CodecIdVideo::Mpeg4, 176, 144, 25, 0, 0, media.extradata);
    exp.processor->Build(exp.output);
    EXPECT_EQ(exp.processor->m_transcoder, nullptr);
    exp.Open();

    auto packets = exp.processor->ProcessPackets(TestMedia::ToHostPackets(media, 0, 400000));
    ASSERT_EQ(packets.size(), media.packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i)
    {
        const AVPacket& p = packets[i]->packet;
        EXPECT_EQ(Bytes(p.data, p.data + p.size), media.packets[i]) << i;
        EXPECT_EQ(p.stream_index, 0);
        EXPECT_EQ(p.pos, -1);
    }
    exp.Write(std::move(packets));
    EXPECT_TRUE(exp.processor->Flush().empty());
    exp.Close();

    const auto file = TestMedia::Read(exp.path);
    ASSERT_EQ(file.packets.size(), media.packets.size());
    for (std::size_t i = 0; i < file.packets.size(); ++i)
        EXPECT_EQ(file.packets[i].data, media.packets[i]) << i;
    const auto shown = ReadPresentation(exp.path);
    ASSERT_FALSE(shown.discarded.empty());
    EXPECT_FALSE(shown.discarded.back()) << "the last picture must stay inside the track";
    EXPECT_EQ(TestMedia::DecodeFrameCount(exp.path, 0), 10);
}

TEST(StreamProcessorVideo, HalfHeightPicturesAreShownAtFourToThree)
{
    struct Case
    {
        int width, height;
        AVRational expected;
    };
    const Case cases[] = {
        {704, 288, {6, 11}}, {704, 576, {0, 1}}, {352, 176, {0, 1}}, {352, 100, {25, 66}}, {0, 0, {0, 1}}, {64, 0, {0, 1}},
    };
    for (const Case& c : cases)
    {
        const AVRational ratio = Mpeg::VideoSampleAspectRatio(c.width, c.height);
        EXPECT_EQ(ratio.num, c.expected.num) << c.width << "x" << c.height;
        EXPECT_EQ(ratio.den, c.expected.den) << c.width << "x" << c.height;
    }

    // The rule reaches the file whether the video is copied or transcoded.
    for (const auto& [encoder, c] : {std::pair{"mpeg4", cases[0]}, std::pair{"h263", cases[1]}})
    {
        SCOPED_TRACE(encoder);
        const auto media = TestMedia::EncodeVideo(encoder, c.width, c.height, 2);
        Export exp(media.codecId == AV_CODEC_ID_H263 ? CodecIdVideo::H263 : CodecIdVideo::Mpeg4, c.width, c.height, 25,
                   0, 0, media.extradata);
        exp.processor->Build(exp.output);
        exp.Open();
        exp.Write(exp.processor->ProcessPackets(TestMedia::ToHostPackets(media, 0, 400000)));
        exp.Close();
        const AVRational read = ReadPresentation(exp.path).streamAspectRatio;
        EXPECT_EQ(av_cmp_q(read, c.expected), 0) << read.num << ":" << read.den;
    }
}

TEST(StreamProcessorVideo, TranscodesH263IntoDecodableMpeg4)
{
    const auto media = TestMedia::EncodeVideo("h263", 352, 288, 30);
    Export exp(CodecIdVideo::H263, 352, 288, 25, 0, 0, media.extradata);
    exp.processor->Build(exp.output);
    ASSERT_NE(exp.processor->m_transcoder, nullptr);
    const AVCodecParameters& out = *exp.processor->m_outputStream->GetCodecParameters();
    EXPECT_EQ(out.codec_id, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(out.format, AV_PIX_FMT_YUV420P);
    // MP4 keeps the stream headers out of band.
    EXPECT_TRUE(exp.processor->m_transcoder->m_encoder->GetContext()->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
    EXPECT_GT(out.extradata_size, 0);

    exp.Open();
    // In several batches, as the worker hands them over.
    for (std::size_t first = 0; first < media.packets.size(); first += 7)
        exp.Write(exp.processor->ProcessPackets(TestMedia::ToHostPackets(media, 0, 400000, first, 7)));
    exp.Close();

    const auto file = TestMedia::Read(exp.path);
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(TestMedia::DecodeFrameCount(exp.path, 0), 30);
    const auto shown = ReadPresentation(exp.path);
    EXPECT_EQ(shown.width, 352);
    EXPECT_EQ(shown.height, 288);
    ASSERT_EQ(shown.discarded.size(), 30u);
    EXPECT_FALSE(shown.discarded.back()) << "the last picture must stay inside the track";
}

TEST(StreamProcessorVideo, RescaleToOutputConvertsBetweenTimeBases)
{
    struct Case
    {
        AVRational from, to;
        std::int64_t pts, dts, duration;
        std::int64_t expectedPts, expectedDts, expectedDuration;
    };
    const Case cases[] = {
        {{1, 25}, {1, 25}, 7, 3, 1, 7, 3, 1},
        {{1, 25}, {2, 25}, 7, 3, 1, 7, 3, 1}, // equal denominators are taken as equal
        {{1, 25}, {1, 12800}, 7, 3, 1, 3584, 1536, 512},
        {{1, 4}, {1, 2}, 1, 3, 5, 1, 2, 3},  // halves away from zero
        {{1, 4}, {1, 2}, -1, -3, 0, -1, -2, 0},
        {{1, 3}, {1, 2}, AV_NOPTS_VALUE, 5, 1, AV_NOPTS_VALUE, 3, 1}, // unset stays unset
    };
    Mpeg::FormatContextInput context;
    Mpeg::StreamParametersVideo parameters;
    parameters.codecId = CodecIdVideo::Mpeg4;
    parameters.timeScale = 25;
    Mpeg::StreamVideo input(0, context, parameters);
    Mpeg::StreamVideo output(1, context, parameters);
    for (const Case& c : cases)
    {
        input.GetAvStream()->time_base = c.from;
        output.GetAvStream()->time_base = c.to;
        auto owned = Mpeg::OwnedPacket::CopyOf(nullptr, 0);
        owned->packet.pts = c.pts;
        owned->packet.dts = c.dts;
        owned->packet.duration = c.duration;
        owned->packet.pos = 1234;
        Mpeg::RescaleToOutput(*owned, input, output);
        const std::string trace = std::to_string(c.from.den) + "->" + std::to_string(c.to.num) + "/" +
                                  std::to_string(c.to.den) + " pts " + std::to_string(c.pts);
        EXPECT_EQ(owned->packet.pts, c.expectedPts) << trace;
        EXPECT_EQ(owned->packet.dts, c.expectedDts) << trace;
        EXPECT_EQ(owned->packet.duration, c.expectedDuration) << trace;
        EXPECT_EQ(owned->packet.pos, -1) << trace;
    }
}

TEST(StreamProcessorVideo, CodecNoneFailsBuildOnTheDecoderLookup)
{
    Export exp(CodecIdVideo::None, 64, 48);
    try
    {
        exp.processor->Build(exp.output);
        FAIL() << "Build accepted codec id 0";
    }
    catch (const Mpeg::AvException& e)
    {
        EXPECT_EQ(std::string(e.what()).rfind("FfMpegFacade: Codec id '0' not found.: ", 0), 0u) << e.what();
        EXPECT_EQ(e.GetErrorCode(), -AVERROR_EXIT);
    }
    EXPECT_EQ(exp.processor->m_transcoder, nullptr);
}

TEST(StreamProcessorVideo, UndecodableInputOnTheTranscodePathRaisesAvException)
{
    Bytes garbage(3000);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 131 + 7);
    garbage[0] = 0;
    garbage[1] = 0;
    garbage[2] = 0x80; // H.263 picture start code, damaged header behind it
    {
        Export exp(CodecIdVideo::H263, 176, 144);
        exp.processor->Build(exp.output);
        EXPECT_THROW(exp.processor->ProcessPacket(HostPacket(0, garbage)), Mpeg::AvException);
    }
    {
        // Pictures larger than declared must not reach the encoder.
        const auto media = TestMedia::EncodeVideo("h263", 352, 288, 1);
        Export exp(CodecIdVideo::H263, 176, 144);
        exp.processor->Build(exp.output);
        EXPECT_THROW(exp.processor->ProcessPacket(HostPacket(0, media.packets[0])), Mpeg::AvException);
    }
}
