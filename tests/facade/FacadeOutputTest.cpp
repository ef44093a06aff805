// What a video-only export leaves on disk, read back with libavformat the way
// a player would: copied payloads, their timing, transcoding, splitting and
// the size projection.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>

namespace
{
namespace fs = std::filesystem;

constexpr std::uint64_t kSecond = 10000000; // host clock: 100-ns units
constexpr std::uint64_t kFrame = 400000;    // 40 ms

std::int64_t FileSize(const fs::path& path)
{
    return static_cast<std::int64_t>(fs::file_size(path));
}

struct CopyCase
{
    const char* encoder;
    Mpeg::CodecIdVideo codec;
    AVCodecID avCodec;
    const char* extension;
    std::int32_t timeScale;
    std::int32_t timestampOffset;
    int width, height;
    AVRational aspect; // the sample aspect ratio the container declares
    // A first composition offset finer than the edit list's millisecond
    // resolution makes the demuxer report every time one tick early; such
    // cases compare times from the first packet on.
    bool fromFirstPacket = false;
};

void PrintTo(const CopyCase& c, std::ostream* os)
{
    *os << c.encoder << " " << c.width << "x" << c.height << " into ." << c.extension << " at 1/" << c.timeScale
        << " offset " << c.timestampOffset;
}

class CopyPath : public testing::TestWithParam<CopyCase>
{
};

// Copied streams keep codec, extradata and bytes; every packet carries the
// host's time converted to the stream's ticks (rounded to nearest, offset
// added, forced upwards) as pts and its ordinal as dts, both then brought
// into the time base the muxer chose; the last picture stays visible.
TEST_P(CopyPath, KeepsPayloadsAndTimesPacketsFromTheHostClock)
{
    const CopyCase& c = GetParam();
    if (!TestMedia::HasEncoder(c.encoder))
        GTEST_SKIP() << c.encoder << " is not available";
    const auto media = TestMedia::EncodeVideo(c.encoder, c.width, c.height, 12, 25, 6, c.avCodec == AV_CODEC_ID_H264);

    // Host times: one packet a tick before the start (dropped), then uneven
    // gaps, including a repeated timestamp and half-tick roundings.
    const std::uint64_t start = 3 * kSecond + 123;
    const std::vector<std::uint64_t> offsets = {0,       400000,  800000,  800000,  1200000, 1800000,
                                                1800001, 2200000, 2600000, 3000000, 3400000, 4000000};
    Mpeg::MediaPacketList host;
    host.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{{0xDE, 0xAD}, start - 1}));
    for (std::size_t i = 0; i < media.packets.size(); ++i)
        host.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{media.packets[i], start + offsets[i]}));

    TestMedia::TempDir dir;
    const fs::path path = dir / (std::string("copy.") + c.extension);
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, path, TestMedia::VideoRecord(c.codec, media, c.timeScale, start, c.timestampOffset));
    facade->AddPacketsVideo(std::move(host));
    const std::int64_t size = facade->FinishMediaFile();
    EXPECT_EQ(size, FileSize(path));

    const auto file = TestMedia::Read(path);
    ASSERT_EQ(file.streams.size(), 1u);
    const TestMedia::ReadStream& stream = file.streams[0];
    EXPECT_EQ(std::tuple(stream.codecId, stream.width, stream.height), std::tuple(c.avCodec, c.width, c.height));
    EXPECT_EQ(av_cmp_q(stream.sampleAspectRatio, c.aspect), 0)
        << stream.sampleAspectRatio.num << ":" << stream.sampleAspectRatio.den;
    EXPECT_EQ(stream.extradata, media.extradata);
    ASSERT_EQ(file.packets.size(), media.packets.size());
    // Known gap: where the first offset is finer than a millisecond the muxer
    // starts the edit at 0, and a one-tick duration no longer reaches the last
    // picture; such rows are left out until the minimum duration covers it.
    EXPECT_FALSE(file.packets.back().discarded) << "the last picture must stay inside the track";
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), static_cast<int>(media.packets.size()));

    const AVRational inBase{1, c.timeScale};
    const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
    const std::int64_t shift = c.fromFirstPacket ? file.packets[0].dts : 0;
    std::int64_t lastPts = 0;
    for (std::size_t i = 0; i < media.packets.size(); ++i)
    {
        const auto& packet = file.packets[i];
        EXPECT_EQ(packet.streamIndex, 0);
        EXPECT_TRUE(packet.data == media.packets[i]) << "payload of packet " << i;
        const auto ticks = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(c.timeScale) * offsets[i] + kSecond / 2) / kSecond);
        lastPts = std::max(c.timestampOffset + ticks, lastPts + 1);
        EXPECT_EQ(packet.pts - shift, av_rescale_q_rnd(lastPts, inBase, stream.timeBase, rounding)) << "packet " << i;
        EXPECT_EQ(packet.dts - shift, av_rescale_q_rnd(static_cast<std::int64_t>(i), inBase, stream.timeBase, rounding))
            << "packet " << i;
    }
}

using Video = Mpeg::CodecIdVideo;
INSTANTIATE_TEST_SUITE_P(
    Containers, CopyPath,
    testing::Values(CopyCase{"libx264", Video::H264, AV_CODEC_ID_H264, "mp4", 25, 0, 160, 120, {0, 1}},
                    CopyCase{"libx264", Video::H264, AV_CODEC_ID_H264, "mov", 1000, 0, 160, 120, {0, 1}},
                    // Less than half as high as wide: shown at 4:3.
                    CopyCase{"mjpeg", Video::Mjpeg, AV_CODEC_ID_MJPEG, "mp4", 1000, 0, 320, 112, {7, 15}},
                    CopyCase{"mjpeg", Video::Mjpeg, AV_CODEC_ID_MJPEG, "mov", 25, 0, 160, 120, {0, 1}},
                    // A time base the muxer keeps: timestamps pass unconverted.
                    CopyCase{"mjpeg", Video::Mjpeg, AV_CODEC_ID_MJPEG, "mov", 90000, 0, 160, 120, {0, 1}, true},
                    CopyCase{"mjpeg", Video::Mjpeg, AV_CODEC_ID_MJPEG, "mp4", 25, 7, 160, 120, {0, 1}}),
    [](const testing::TestParamInfo<CopyCase>& info) {
        const CopyCase& c = info.param;
        return std::string(c.encoder) + "_" + c.extension + "_" + std::to_string(c.timeScale) +
               (c.timestampOffset ? "_offset" : "");
    });

// H.263 is not an MP4 codec: it is decoded and encoded again as MPEG-4, with
// the stream headers out of band, every picture kept and the last one shown.
TEST(TranscodePath, H263IntoMp4BecomesDecodableMpeg4WithEveryFrame)
{
    const auto media = TestMedia::EncodeVideo("h263", 352, 288, 20);
    TestMedia::TempDir dir;
    const fs::path path = dir / "h263.mp4";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, path, TestMedia::VideoRecord(Video::H263, media));
    for (std::size_t first = 0; first < media.packets.size(); first += 7)
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, first, 7));
    facade->FinishMediaFile();

    const auto file = TestMedia::Read(path);
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(std::tuple(file.streams[0].codecId, file.streams[0].width, file.streams[0].height),
              std::tuple(AV_CODEC_ID_MPEG4, 352, 288));
    EXPECT_EQ(av_cmp_q(file.streams[0].sampleAspectRatio, AVRational{0, 1}), 0);
    EXPECT_FALSE(file.streams[0].extradata.empty()) << "MP4 keeps the stream headers out of band";
    ASSERT_EQ(file.packets.size(), 20u);
    EXPECT_FALSE(file.packets.back().discarded) << "the last picture must stay inside the track";
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), 20);
}

TEST(FacadeFile, SplitFinishesTheFirstFileAndTimesTheSecondFromTheNewStart)
{
    // Key frame every 10 pictures, so the second file starts with one.
    const auto media = TestMedia::EncodeVideo("mpeg4", 176, 144, 20, 25, 10);
    const std::uint64_t start = 5 * kSecond;
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "a.mp4", TestMedia::VideoRecord(Video::Mpeg4, media, 1000, start, 2));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, start, kFrame, 0, 10));

    const std::uint64_t videoStart = start + 10 * kFrame;
    const std::int64_t firstSize = facade->SplitMediaFileVideo(TestMedia::Wide(dir / "b.mp4"), videoStart);
    EXPECT_EQ(firstSize, FileSize(dir / "a.mp4"));

    // A late packet from before the new start belongs to neither file.
    Mpeg::MediaPacketList late;
    late.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{{1, 2, 3}, videoStart - 1}));
    facade->AddPacketsVideo(std::move(late));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, start, kFrame, 10));
    const std::int64_t secondSize = facade->FinishMediaFile();
    EXPECT_EQ(secondSize, FileSize(dir / "b.mp4"));

    const auto a = TestMedia::Read(dir / "a.mp4");
    const auto b = TestMedia::Read(dir / "b.mp4");
    ASSERT_EQ(std::tuple(a.streams.size(), a.packets.size(), b.streams.size(), b.packets.size()),
              std::tuple(1u, 10u, 1u, 10u));
    EXPECT_EQ(std::tuple(b.streams[0].codecId, b.streams[0].width), std::tuple(AV_CODEC_ID_MPEG4, 176));
    EXPECT_EQ(TestMedia::DecodeFrameCount(dir / "b.mp4"), 10);

    // Both files time their packets alike: offset 2, 40 ms apart, from their own start.
    for (std::size_t i = 0; i < 10; ++i)
    {
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
    TestMedia::Open(*facade, path, TestMedia::VideoRecord(Video::Mjpeg, media));
    const std::int64_t header = facade->EstimateFileSize(0, 1);
    EXPECT_GT(header, 0);

    std::int64_t payload = 0;
    for (const auto& packet : media.packets)
        payload += static_cast<std::int64_t>(packet.size());
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 6));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 6));

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
    EXPECT_EQ(size, FileSize(path));
}

} // namespace
