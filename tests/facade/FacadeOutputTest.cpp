// What a video-only export leaves on disk, read back with libavformat the way
// a player would: copied payloads, their timing, transcoding, splitting and
// the size projection.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <filesystem>
#include <string>

namespace
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;
namespace fs = std::filesystem;

constexpr std::uint64_t kSecond = 10000000; // host clock: 100-ns units

std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, const TestMedia::EncodedStream& media,
                                                         std::int32_t timeScale, std::uint64_t startTime = 0,
                                                         std::int32_t timestampOffset = 0)
{
    auto record = std::make_unique<Mpeg::StreamParametersVideo>();
    record->codecId = codec;
    record->width = media.width;
    record->height = media.height;
    record->timeScale = timeScale;
    record->startTime = startTime;
    record->timestampOffset = timestampOffset;
    record->codecConfiguration.extraData = media.extradata;
    return record;
}

// Picture size as a player sees it: for MPEG-4 video in MP4 the demuxer
// leaves it to be parsed from the bitstream.
struct Picture
{
    int width = 0;
    int height = 0;
};

Picture Probe(const fs::path& path)
{
    Picture picture;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0)
    {
        ADD_FAILURE() << "cannot open " << path;
        return picture;
    }
    if (avformat_find_stream_info(context, nullptr) >= 0 && context->nb_streams > 0)
    {
        const AVStream* stream = context->streams[0];
        picture = {stream->codecpar->width, stream->codecpar->height};
    }
    else
        ADD_FAILURE() << "no stream information in " << path;
    avformat_close_input(&context);
    return picture;
}

void Open(Mpeg::IFfMpegFacade& facade, const fs::path& path, std::unique_ptr<Mpeg::StreamParametersVideo> record)
{
    facade.StartInitMediaFile(TestMedia::Wide(path));
    facade.InitStreamVideo(std::move(record));
    facade.FinishInitMediaFile();
}

// Splits an Annex B byte stream into its NAL units (start codes removed).
std::vector<std::vector<std::uint8_t>> NalUnits(const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::vector<std::uint8_t>> units;
    std::size_t i = 0;
    std::size_t begin = std::string::npos;
    while (i + 3 <= bytes.size())
    {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1)
        {
            if (begin != std::string::npos)
            {
                std::size_t end = i;
                while (end > begin && bytes[end - 1] == 0)
                    --end;
                units.emplace_back(bytes.begin() + static_cast<long>(begin), bytes.begin() + static_cast<long>(end));
            }
            i += 3;
            begin = i;
        }
        else
            ++i;
    }
    if (begin != std::string::npos)
        units.emplace_back(bytes.begin() + static_cast<long>(begin), bytes.end());
    return units;
}

// H.264 as a host that takes it out of an MP4 source delivers it: avcC
// extradata and length-prefixed packets. The muxer stores that form as is;
// Annex B input it would rewrite, so payloads could not be compared.
TestMedia::EncodedStream ToLengthPrefixed(TestMedia::EncodedStream stream)
{
    std::vector<std::uint8_t> sps;
    std::vector<std::uint8_t> pps;
    for (auto& unit : NalUnits(stream.extradata))
    {
        if ((unit[0] & 0x1F) == 7)
            sps = unit;
        else if ((unit[0] & 0x1F) == 8)
            pps = unit;
    }
    if (sps.size() < 4 || pps.empty())
        throw std::runtime_error("no SPS/PPS in the encoder's global header");
    std::vector<std::uint8_t> avcc = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    auto append = [](std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& unit, int lengthBytes) {
        for (int shift = 8 * (lengthBytes - 1); shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>(unit.size() >> shift));
        out.insert(out.end(), unit.begin(), unit.end());
    };
    append(avcc, sps, 2);
    avcc.push_back(1);
    append(avcc, pps, 2);
    stream.extradata = avcc;
    for (auto& packet : stream.packets)
    {
        std::vector<std::uint8_t> framed;
        for (auto& unit : NalUnits(packet))
            append(framed, unit, 4);
        packet = std::move(framed);
    }
    return stream;
}

struct CopyCase
{
    const char* encoder;
    Mpeg::CodecIdVideo codec;
    AVCodecID avCodec;
    const char* extension;
    std::int32_t timeScale;
    std::int32_t timestampOffset;
    // A first composition offset finer than the edit list's millisecond
    // resolution makes the demuxer report every time one tick early; such
    // cases compare times from the first packet on.
    bool fromFirstPacket = false;
};

void PrintTo(const CopyCase& c, std::ostream* os)
{
    *os << c.encoder << " into ." << c.extension << " at 1/" << c.timeScale << " offset " << c.timestampOffset;
}

std::string CaseName(const testing::TestParamInfo<CopyCase>& info)
{
    return std::string(info.param.encoder) + "_" + info.param.extension + "_" + std::to_string(info.param.timeScale) +
           (info.param.timestampOffset ? "_offset" : "");
}

class CopyPath : public testing::TestWithParam<CopyCase>
{
};

// Copied streams keep codec and bytes; every packet carries the host's time
// converted to the stream's ticks (rounded to nearest, offset added, forced
// upwards) as pts and its ordinal as dts, both then brought into the time base
// the muxer chose.
TEST_P(CopyPath, KeepsPayloadsAndTimesPacketsFromTheHostClock)
{
    const CopyCase& c = GetParam();
    if (!TestMedia::HasEncoder(c.encoder))
        GTEST_SKIP() << c.encoder << " is not available";
    const bool h264 = c.avCodec == AV_CODEC_ID_H264;
    auto media = TestMedia::EncodeVideo(c.encoder, 160, 120, 12, 25, 6, h264);
    if (h264)
        media = ToLengthPrefixed(std::move(media));

    // Host times: one packet a tick before the start (dropped), then uneven
    // gaps, including a repeated timestamp and half-tick roundings.
    const std::uint64_t start = 3 * kSecond + 123;
    const std::vector<std::uint64_t> offsets = {0,       400000,  800000,  800000,  1200000, 1800000,
                                                1800001, 2200000, 2600000, 3000000, 3400000, 4000000};
    Mpeg::MediaPacketList host;
    auto early = std::make_unique<Mpeg::MediaPacket>();
    early->data = {0xDE, 0xAD};
    early->timestamp = start - 1;
    host.push_back(std::move(early));
    for (std::size_t i = 0; i < media.packets.size(); ++i)
    {
        auto packet = std::make_unique<Mpeg::MediaPacket>();
        packet->data = media.packets[i];
        packet->timestamp = start + offsets[i];
        host.push_back(std::move(packet));
    }

    TestMedia::TempDir dir;
    const fs::path path = dir / (std::string("copy.") + c.extension);
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    Open(*facade, path, VideoRecord(c.codec, media, c.timeScale, start, c.timestampOffset));
    facade->AddPacketsVideo(std::move(host));
    const std::int64_t size = facade->FinishMediaFile();
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));

    const auto file = TestMedia::Read(path);
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].codecId, c.avCodec);
    EXPECT_EQ(file.streams[0].width, 160);
    EXPECT_EQ(file.streams[0].height, 120);
    const AVRational inBase{1, c.timeScale};
    const AVRational outBase = file.streams[0].timeBase;
    ASSERT_EQ(file.packets.size(), media.packets.size());

    const std::int64_t shift = c.fromFirstPacket ? file.packets[0].dts : 0;
    std::int64_t lastPts = 0;
    for (std::size_t i = 0; i < media.packets.size(); ++i)
    {
        const auto& packet = file.packets[i];
        EXPECT_EQ(packet.streamIndex, 0);
        EXPECT_TRUE(packet.data == media.packets[i]) << "payload of packet " << i;
        const auto ticks = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(c.timeScale) * offsets[i] + kSecond / 2) / kSecond);
        const std::int64_t candidate = c.timestampOffset + ticks;
        lastPts = candidate > lastPts ? candidate : lastPts + 1;
        const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
        EXPECT_EQ(packet.pts - shift, av_rescale_q_rnd(lastPts, inBase, outBase, rounding)) << "packet " << i;
        EXPECT_EQ(packet.dts - shift, av_rescale_q_rnd(static_cast<std::int64_t>(i), inBase, outBase, rounding))
            << "packet " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Containers, CopyPath,
    testing::Values(CopyCase{"libx264", Mpeg::CodecIdVideo::H264, AV_CODEC_ID_H264, "mp4", 25, 0},
                    CopyCase{"libx264", Mpeg::CodecIdVideo::H264, AV_CODEC_ID_H264, "mov", 1000, 0},
                    CopyCase{"mjpeg", Mpeg::CodecIdVideo::Mjpeg, AV_CODEC_ID_MJPEG, "mp4", 1000, 0},
                    CopyCase{"mjpeg", Mpeg::CodecIdVideo::Mjpeg, AV_CODEC_ID_MJPEG, "mov", 25, 0},
                    // A time base the muxer keeps: timestamps pass unconverted.
                    CopyCase{"mjpeg", Mpeg::CodecIdVideo::Mjpeg, AV_CODEC_ID_MJPEG, "mov", 90000, 0, true},
                    CopyCase{"mjpeg", Mpeg::CodecIdVideo::Mjpeg, AV_CODEC_ID_MJPEG, "mp4", 25, 7}),
    CaseName);

TEST(TranscodePath, H263IntoMp4BecomesDecodableMpeg4WithEveryFrame)
{
    const auto media = TestMedia::EncodeVideo("h263", 352, 288, 20);
    TestMedia::TempDir dir;
    const fs::path path = dir / "h263.mp4";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    Open(*facade, path, VideoRecord(Mpeg::CodecIdVideo::H263, media, 25));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000, 0, 7));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000, 7));
    const std::int64_t size = facade->FinishMediaFile();
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));

    const auto file = TestMedia::Read(path);
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
    const Picture picture = Probe(path);
    EXPECT_EQ(picture.width, 352);
    EXPECT_EQ(picture.height, 288);
    EXPECT_EQ(file.packets.size(), 20u);
    EXPECT_EQ(TestMedia::DecodeFrameCount(path, 0), 20);
}

TEST(FacadeFile, HeaderAndTrailerOnlyAndTheFacadeGoesOnWithAnotherFile)
{
    const auto media = TestMedia::EncodeVideo("mpeg4", 64, 48, 5);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    EXPECT_EQ(facade->FinishMediaFile(), 0);

    Open(*facade, dir / "empty.mp4", VideoRecord(Mpeg::CodecIdVideo::Mpeg4, media, 25));
    const std::int64_t emptySize = facade->FinishMediaFile();
    EXPECT_EQ(emptySize, static_cast<std::int64_t>(fs::file_size(dir / "empty.mp4")));
    // The muxer leaves a track without samples out of the index; the file
    // still opens.
    const auto empty = TestMedia::Read(dir / "empty.mp4");
    EXPECT_EQ(empty.formatName.rfind("mov,mp4", 0), 0u) << empty.formatName;
    EXPECT_TRUE(empty.packets.empty());
    EXPECT_EQ(facade->FinishMediaFile(), 0);

    Open(*facade, dir / "second.mov", VideoRecord(Mpeg::CodecIdVideo::Mpeg4, media, 25));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000));
    const std::int64_t secondSize = facade->FinishMediaFile();
    EXPECT_EQ(secondSize, static_cast<std::int64_t>(fs::file_size(dir / "second.mov")));
    const auto second = TestMedia::Read(dir / "second.mov");
    ASSERT_EQ(second.streams.size(), 1u);
    EXPECT_EQ(second.packets.size(), 5u);
}

TEST(FacadeFile, SplitFinishesTheFirstFileAndTimesTheSecondFromTheNewStart)
{
    // Key frame every 10 pictures, so the second file starts with one.
    const auto media = TestMedia::EncodeVideo("mpeg4", 176, 144, 20, 25, 10);
    const std::uint64_t step = 400000;
    const std::uint64_t start = 5 * kSecond;
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    Open(*facade, dir / "a.mp4", VideoRecord(Mpeg::CodecIdVideo::Mpeg4, media, 1000, start, 2));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, start, step, 0, 10));

    const std::uint64_t videoStart = start + 10 * step;
    const std::int64_t firstSize = facade->SplitMediaFileVideo(TestMedia::Wide(dir / "b.mp4"), videoStart);
    EXPECT_EQ(firstSize, static_cast<std::int64_t>(fs::file_size(dir / "a.mp4")));

    // A late packet from before the new start belongs to neither file.
    Mpeg::MediaPacketList late;
    late.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{{1, 2, 3}, videoStart - 1}));
    facade->AddPacketsVideo(std::move(late));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, start, step, 10));
    const std::int64_t secondSize = facade->FinishMediaFile();
    EXPECT_EQ(secondSize, static_cast<std::int64_t>(fs::file_size(dir / "b.mp4")));

    const auto a = TestMedia::Read(dir / "a.mp4");
    const auto b = TestMedia::Read(dir / "b.mp4");
    ASSERT_EQ(a.streams.size(), 1u);
    ASSERT_EQ(b.streams.size(), 1u);
    EXPECT_EQ(b.streams[0].codecId, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(Probe(dir / "b.mp4").width, 176);
    ASSERT_EQ(a.packets.size(), 10u);
    ASSERT_EQ(b.packets.size(), 10u);
    EXPECT_EQ(TestMedia::DecodeFrameCount(dir / "b.mp4", 0), 10);

    // Both files time their packets alike: offset 2, 40 ms apart, from their own start.
    for (std::size_t i = 0; i < 10; ++i)
    {
        EXPECT_EQ(b.packets[i].streamIndex, 0);
        EXPECT_TRUE(b.packets[i].data == media.packets[10 + i]) << i;
        EXPECT_EQ(b.packets[i].pts, a.packets[i].pts) << i;
        EXPECT_EQ(b.packets[i].dts, a.packets[i].dts) << i;
        const auto expected = static_cast<std::int64_t>(2 + 40 * i);
        EXPECT_EQ(b.packets[i].pts, av_rescale_q(expected, AVRational{1, 1000}, b.streams[0].timeBase)) << i;
    }
}

TEST(FacadeFile, EstimateWaitsForQueuedPacketsAndProjectsFromTheWrittenBytes)
{
    const auto media = TestMedia::EncodeVideo("mjpeg", 176, 144, 12);
    TestMedia::TempDir dir;
    const fs::path path = dir / "estimate.mov";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    Open(*facade, path, VideoRecord(Mpeg::CodecIdVideo::Mjpeg, media, 25));
    const std::int64_t header = facade->EstimateFileSize(0, 1);
    EXPECT_GT(header, 0);

    std::int64_t payload = 0;
    for (const auto& packet : media.packets)
        payload += static_cast<std::int64_t>(packet.size());
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000, 0, 6));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000, 6));

    // With one stream the muxer passes every packet straight to the file.
    const std::int64_t written = facade->EstimateFileSize(0, 5);
    EXPECT_EQ(written, header + payload);
    EXPECT_EQ(facade->EstimateFileSize(3, 1), 4 * written);
    EXPECT_EQ(facade->EstimateFileSize(300, 7), written + (300 * written + 3) / 7);
    EXPECT_EQ(facade->EstimateFileSize(1, 3), written + (written + 1) / 3);
    EXPECT_EQ(facade->EstimateFileSize(10, 0), written);
    EXPECT_EQ(facade->EstimateFileSize(10, -4), written);

    const std::int64_t size = facade->FinishMediaFile();
    EXPECT_GT(size, written);
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));
}

} // namespace
