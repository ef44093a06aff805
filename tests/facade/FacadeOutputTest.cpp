// What a video-only export leaves on disk, read back with libavformat the way
// a player would: copied payloads, their timing, transcoding, splitting and
// the size projection.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <cstring>
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
    bool annexB = false; // start codes, which the muxer turns into length prefixes (and avcC/hvcC)
};

void PrintTo(const CopyCase& c, std::ostream* os)
{
    *os << c.encoder << (c.annexB ? " (Annex B) " : " ") << c.width << "x" << c.height << " into ." << c.extension
        << " at 1/" << c.timeScale << " offset " << c.timestampOffset;
}

class CopyPath : public testing::TestWithParam<CopyCase>
{
};

// Copied streams keep codec, extradata and bytes; every packet carries the
// host's time converted to the stream's ticks (rounded to nearest, offset
// added, forced upwards, a stream starting on tick 0 one tick later) as pts
// and that less one tick as dts, both then brought into the time base the
// muxer chose; the last picture stays visible; the sync samples are exactly
// the source's key pictures.
TEST_P(CopyPath, KeepsPayloadsAndTimesPacketsFromTheHostClock)
{
    const CopyCase& c = GetParam();
    if (!TestMedia::HasEncoder(c.encoder))
        GTEST_SKIP() << c.encoder << " is not available";
    const auto media =
        TestMedia::EncodeVideo(c.encoder, c.width, c.height, 12, 25, 5,
                               c.avCodec == AV_CODEC_ID_H264 || c.avCodec == AV_CODEC_ID_MPEG4, 0, c.annexB);
    ASSERT_GT(media.keyPictures.size(), 1u);

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
    if (!c.annexB)
    {
        EXPECT_EQ(stream.extradata, media.extradata);
    }
    ASSERT_EQ(file.packets.size(), media.packets.size());
    if (c.avCodec == AV_CODEC_ID_MJPEG) // every picture: no sync-sample table needed
        EXPECT_EQ(stream.syncSamples.size(), media.packets.size());
    else
        EXPECT_EQ(stream.syncSamples, media.keyPictures);
    // Known gap: where the first offset is finer than a millisecond the muxer
    // starts the edit at 0, and a one-tick duration no longer reaches the last
    // picture; such rows are left out until the minimum duration covers it.
    EXPECT_FALSE(file.packets.back().discarded) << "the last picture must stay inside the track";
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), static_cast<int>(media.packets.size()));

    const AVRational inBase{1, c.timeScale};
    const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
    const std::int64_t shift = c.fromFirstPacket ? file.packets[0].dts : 0;
    std::int64_t lastPts = 0;
    std::int64_t startShift = 0;
    for (std::size_t i = 0; i < media.packets.size(); ++i)
    {
        const auto& packet = file.packets[i];
        EXPECT_EQ(packet.streamIndex, 0);
        if (!c.annexB)
        {
            EXPECT_TRUE(packet.data == media.packets[i]) << "payload of packet " << i;
        }
        const auto ticks = static_cast<std::int64_t>(
            (static_cast<std::uint64_t>(c.timeScale) * offsets[i] + kSecond / 2) / kSecond);
        if (i == 0 && c.timestampOffset + ticks == 0)
            startShift = 1;
        lastPts = std::max(c.timestampOffset + ticks + startShift, lastPts + 1);
        EXPECT_EQ(packet.pts - shift, av_rescale_q_rnd(lastPts, inBase, stream.timeBase, rounding)) << "packet " << i;
        EXPECT_EQ(packet.dts - shift, av_rescale_q_rnd(lastPts - 1, inBase, stream.timeBase, rounding))
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
                    CopyCase{"mjpeg", Video::Mjpeg, AV_CODEC_ID_MJPEG, "mp4", 25, 7, 160, 120, {0, 1}},
                    CopyCase{"libx264", Video::H264, AV_CODEC_ID_H264, "mp4", 90000, 0, 160, 120, {0, 1}, true, true},
                    CopyCase{"libx265", Video::H265, AV_CODEC_ID_HEVC, "mp4", 25, 0, 160, 120, {0, 1}, false, true},
                    CopyCase{"mpeg4", Video::Mpeg4, AV_CODEC_ID_MPEG4, "mp4", 1000, 0, 160, 120, {0, 1}},
                    CopyCase{"h263", Video::H263, AV_CODEC_ID_H263, "mov", 25, 0, 176, 144, {0, 1}},
                    // A custom picture size: the picture type sits in PLUSPTYPE.
                    CopyCase{"h263p", Video::H263, AV_CODEC_ID_H263, "mov", 25, 0, 160, 120, {0, 1}}),
    [](const testing::TestParamInfo<CopyCase>& info) {
        const CopyCase& c = info.param;
        return std::string(c.encoder) + (c.annexB ? "_annexb_" : "_") + c.extension + "_" +
               std::to_string(c.timeScale) + (c.timestampOffset ? "_offset" : "");
    });

// H.263 is not an MP4 codec: it is decoded and encoded again as MPEG-4, with
// the stream headers out of band, every picture kept and the last one shown,
// and I-pictures exactly where the source has them (a key picture every 15,
// against the encoder's default of 12).
TEST(TranscodePath, H263IntoMp4BecomesDecodableMpeg4WithEveryFrame)
{
    const auto media = TestMedia::EncodeVideo("h263", 352, 288, 20, 25, 15);
    ASSERT_EQ(media.keyPictures, (std::vector<std::size_t>{0, 15}));
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
    EXPECT_EQ(file.streams[0].syncSamples, media.keyPictures);
    EXPECT_FALSE(file.packets.back().discarded) << "the last picture must stay inside the track";
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), 20);
}

// A player's view of an 8-second 25 fps source (a key picture every 2 s) at
// the clock rates hosts use: 25 frames a second, an 8 s stream, and a seek to
// 5 s (as `ffmpeg -ss 5` does it) starting at the key picture of 4 s. With
// dropped pictures (177 of 250 kept) the stream keeps its 10 s.
TEST(FacadeFile, FrameRateDurationAndSeeksHoldAtAnyTimeScale)
{
    struct Case
    {
        std::int32_t timeScale;
        std::size_t dropFrom, dropped; // pictures left out of a 25 fps clock
        double duration;
        AVRational frameRate;
        std::size_t seekLanding; // packet a seek to 5 s starts decoding at
        double landingSeconds;
    };
    const Case cases[] = {
        {25, 0, 0, 8.0, {25, 1}, 100, 4.0},
        {1000, 0, 0, 8.0, {25, 1}, 100, 4.0},
        {90000, 0, 0, 8.0, {25, 1}, 100, 4.0},
        {25, 100, 73, 10.0, {177, 10}, 50, 2.0},
    };
    const char* encoder = TestMedia::HasEncoder("libx264") ? "libx264" : "mpeg4";
    const auto steady = TestMedia::EncodeVideo(encoder, 64, 48, 200, 25, 50, true);
    const auto dropping = TestMedia::EncodeVideo(encoder, 64, 48, 177, 25, 50, true);
    const Video codec = std::strcmp(encoder, "mpeg4") == 0 ? Video::Mpeg4 : Video::H264;
    TestMedia::TempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE("time scale " + std::to_string(c.timeScale) + ", " + std::to_string(c.dropped) + " dropped");
        const auto& media = c.dropped ? dropping : steady;
        const fs::path path = dir / ("clock" + std::to_string(c.timeScale) + "-" + std::to_string(c.dropped) + ".mp4");
        auto facade = Mpeg::IFfMpegFacade::Create(false);
        TestMedia::Open(*facade, path, TestMedia::VideoRecord(codec, media, c.timeScale, kSecond));
        Mpeg::MediaPacketList host;
        for (std::size_t i = 0; i < media.packets.size(); ++i)
        {
            const std::size_t picture = i < c.dropFrom || c.dropped == 0 ? i : i + c.dropped;
            host.push_back(
                std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{media.packets[i], kSecond + picture * kFrame}));
        }
        facade->AddPacketsVideo(std::move(host));
        facade->FinishMediaFile();

        const auto file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), 1u);
        const TestMedia::ReadStream& stream = file.streams[0];
        EXPECT_EQ(av_cmp_q(stream.frameRate, c.frameRate), 0) << stream.frameRate.num << "/" << stream.frameRate.den;
        EXPECT_EQ(av_cmp_q(stream.realFrameRate, AVRational{25, 1}), 0)
            << stream.realFrameRate.num << "/" << stream.realFrameRate.den;
        EXPECT_NEAR(stream.durationSeconds, c.duration, 0.001);
        EXPECT_EQ(stream.syncSamples, media.keyPictures);

        const TestMedia::ReadPacket landing = TestMedia::SeekAndRead(path, 5.0);
        EXPECT_TRUE(landing.data == media.packets[c.seekLanding]) << "a seek to 5 s starts at the wrong picture";
        EXPECT_NEAR(static_cast<double>(landing.pts) * av_q2d(stream.timeBase), c.landingSeconds, 0.001);
    }
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
