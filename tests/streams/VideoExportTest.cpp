// Video through the public facade, read back with libavformat: how pictures
// are timed, which are listed as key pictures, and which records are refused.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <tuple>

using Video = Mpeg::CodecIdVideo;

namespace
{
// Ticks of 1/timeScale from a time the file gives in its own time base.
std::int64_t Ticks(std::int64_t value, AVRational timeBase, int timeScale)
{
    return av_rescale_q(value, timeBase, AVRational{1, timeScale});
}
} // namespace

TEST(VideoExport, PicturesAreTimedOnTheStreamClock)
{
    struct Case
    {
        const char* name;
        std::int32_t timeScale;
        std::uint64_t start;
        std::int32_t offset;
        std::vector<std::uint64_t> timestamps; // host clock, 100-ns units
        std::vector<std::int64_t> pts;         // of the pictures written
        std::int64_t end;                      // where the last picture ends
    };
    const Case cases[] = {
        {"before the start is dropped", 25, 1000, 0, {999, 1000, 999, 401000}, {1, 2}, 3},
        // A first picture on tick 0 moves the whole stream one tick on.
        {"first at start", 1000, 0, 0, {0, 400000}, {1, 41}, 81},
        {"first after start", 1000, 0, 0, {10000, 410000}, {1, 41}, 81},
        {"equal timestamps", 1000, 0, 0, {0, 400000, 400000, 400000}, {1, 41, 42, 43}, 44},
        {"a step back", 1000, 0, 0, {0, 1000000, 500000, 1010000}, {1, 101, 102, 103}, 104},
        // The last picture lasts as long as those before it, not the gap.
        {"a gap before the last", 1000, 0, 0, {0, 400000, 800000, 100000000}, {1, 41, 81, 10001}, 10041},
        // The file's edit list, in milliseconds, cannot hold the one-tick start.
        {"90 kHz", 90000, 0, 0, {0, 400000, 800000}, {0, 3600, 7200}, 10800},
        {"ten hours", 1000, 0, 0, {0, 400000, 360000000000ull}, {1, 41, 36000001}, 36000041},
        {"offset added", 1000, 0, 100, {0, 400000}, {100, 140}, 180},
        {"negative offset", 1000, 0, -50, {0, 400000, 10000000}, {1, 2, 950}, 951},
        {"half a tick rounds up", 1, 0, 0, {15000000, 25000000}, {2, 3}, 4},
        {"just under half rounds down", 1, 0, 0, {14999999, 25000000}, {1, 3}, 5},
    };
    static const auto media = TestMedia::EncodeVideo("mpeg4", 64, 48, 4);
    TestMedia::TempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto facade = Mpeg::IFfMpegFacade::Create(false);
        TestMedia::Open(*facade, dir / "out.mp4", TestMedia::VideoRecord(Video::Mpeg4, media, c.timeScale, c.start, c.offset));
        Mpeg::MediaPacketList list;
        for (std::size_t i = 0; i < c.timestamps.size(); ++i)
            list.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{media.packets[i], c.timestamps[i]}));
        facade->AddPacketsVideo(std::move(list));
        facade->FinishMediaFile();

        const auto file = TestMedia::Read(dir / "out.mp4");
        ASSERT_EQ(file.streams.size(), 1u);
        const AVRational timeBase = file.streams[0].timeBase;
        std::vector<std::int64_t> pts;
        for (const auto& packet : file.packets)
        {
            pts.push_back(Ticks(packet.pts, timeBase, c.timeScale));
            EXPECT_EQ(Ticks(packet.dts, timeBase, c.timeScale), pts.back() - 1) << "decoded a tick before shown";
        }
        // Where the millisecond edit list cannot hold the one-tick start,
        // readers differ on where the first picture is (FFmpeg 9.0 one tick
        // later): the pictures' spacing must not.
        const std::int64_t slack = c.timeScale > 1000 ? 1 : 0;
        ASSERT_EQ(pts.size(), c.pts.size());
        EXPECT_LE(std::abs(pts[0] - c.pts[0]), slack);
        for (std::size_t i = 0; i < pts.size(); ++i)
            EXPECT_EQ(pts[i] - pts[0], c.pts[i] - c.pts[0]) << i;
        const double end = file.streams[0].startSeconds + file.streams[0].durationSeconds;
        EXPECT_NEAR(end * c.timeScale, static_cast<double>(c.end), 0.01);
    }
}

// Each copied picture is a key picture exactly when its bitstream says so;
// H.263 transcoded into MP4 keeps the source's key pictures and no others.
TEST(VideoExport, SyncSamplesAreTheSourcesKeyPictures)
{
    struct Case
    {
        const char* encoder;
        Video codec;
        const char* container;
        AVCodecID written;
        bool globalHeader;
        bool annexB;
    };
    const Case cases[] = {
        {"mpeg4", Video::Mpeg4, "mp4", AV_CODEC_ID_MPEG4, false, false},
        {"libx264", Video::H264, "mp4", AV_CODEC_ID_H264, true, false},
        {"libx264", Video::H264, "mov", AV_CODEC_ID_H264, true, true},
        {"libx265", Video::H265, "mp4", AV_CODEC_ID_HEVC, true, false},
        {"h263", Video::H263, "mov", AV_CODEC_ID_H263, false, false},
        {"h263", Video::H263, "mp4", AV_CODEC_ID_MPEG4, false, false},
        {"mjpeg", Video::Mjpeg, "mp4", AV_CODEC_ID_MJPEG, false, false},
    };
    TestMedia::TempDir dir;
    for (const Case& c : cases)
    {
        if (!TestMedia::HasEncoder(c.encoder))
            continue;
        SCOPED_TRACE(std::string(c.encoder) + " into " + c.container + (c.annexB ? ", start codes" : ""));
        const int width = c.codec == Video::H263 ? 128 : 64, height = c.codec == Video::H263 ? 96 : 48;
        const auto media = TestMedia::EncodeVideo(c.encoder, width, height, 30, 25, 10, c.globalHeader, 0, c.annexB);
        const auto path = dir / (std::string("out.") + c.container);
        auto facade = Mpeg::IFfMpegFacade::Create(false);
        TestMedia::Open(*facade, path, TestMedia::VideoRecord(c.codec, media));
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000, 0, 17));
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000, 17));
        facade->FinishMediaFile();

        const auto file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), 1u);
        EXPECT_EQ(file.streams[0].codecId, c.written);
        EXPECT_EQ(file.packets.size(), media.packets.size());
        EXPECT_EQ(file.streams[0].syncSamples, media.keyPictures);
        EXPECT_EQ(TestMedia::DecodeFrameCount(path), static_cast<int>(media.packets.size()));
    }
}

// Pictures less than half as high as wide (a field of interlaced video) are
// shown at 4:3; others keep square samples.
TEST(VideoExport, HalfHeightPicturesAreShownAtFourToThree)
{
    TestMedia::TempDir dir;
    for (const auto& [width, height, expected] : {std::tuple(128, 48, AVRational{1, 2}), std::tuple(64, 48, AVRational{0, 1})})
    {
        const auto media = TestMedia::EncodeVideo("mpeg4", width, height, 2);
        auto facade = Mpeg::IFfMpegFacade::Create(false);
        TestMedia::Open(*facade, dir / "out.mp4", TestMedia::VideoRecord(Video::Mpeg4, media));
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000));
        facade->FinishMediaFile();
        const auto file = TestMedia::Read(dir / "out.mp4");
        ASSERT_EQ(file.streams.size(), 1u);
        EXPECT_EQ(av_cmp_q(file.streams[0].sampleAspectRatio, expected), 0)
            << width << "x" << height << ": " << file.streams[0].sampleAspectRatio.num << ":"
            << file.streams[0].sampleAspectRatio.den;
    }
}

// Bad records get the exception their fault calls for, from the call that
// takes them; nothing is written.
TEST(VideoExport, BadRecordsAreRefused)
{
    constexpr std::int32_t kNone = INT_MAX; // no audio: the video-only facade
    const std::string positive = "FfMpegFacadeException: FfMpegFacade: Stream::Stream: timeScale must be positive";
    const std::string rate = "FfMpegFacadeException: FfMpegFacade: StreamAudio::StreamAudio: timeScale must be a "
                             "sample rate from 1000 to 384000";
    const struct
    {
        std::int32_t video, timeScale, mediaType, audio, rate, layout;
        std::string expected; // the start of what is thrown
    } cases[] = {
        {2, 0, 0, kNone, 0, 0, positive},
        {2, 25, 2, kNone, 0, 0, "out_of_range: mediaType '2'"},
        {-1, 25, 0, kNone, 0, 0, "invalid_argument: CodecIdVideo value passed to StreamVideo::Map2Av can not be undefined"},
        {5, 25, 0, kNone, 0, 0, "invalid_argument: CodecIdVideo value 5"},
        {INT_MIN, 25, 0, kNone, 0, 0, "out_of_range: Unknown CodecIdVideo -2147483648"},
        // Rates a resampler would build gigabyte filters for, or seconds per packet for.
        {2, 25, 0, 3, 838'860'985, 0, rate},
        {2, 25, 0, 1, 999, 0, rate},
        {2, 25, 0, 5, 384'001, 0, rate},
        {2, 25, 0, 3, 0, 0, positive},
        {2, 25, 0, 8, 8000, 0, "out_of_range: Unknown CodecIdAudio 8"},
        {2, 25, 0, -1, 8000, 0, "invalid_argument: CodecIdAudio value passed to StreamAudio::Map2Av"},
        {2, 25, 0, 3, 8000, 1, "out_of_range: Unknown ChannelLayout 1"},
        {2, 25, 0, 3, 1000, 0, "nothing"},
        {2, 25, 0, 5, 384'000, 0, "nothing"},
    };
    TestMedia::TempDir dir;
    for (const auto& c : cases)
    {
        auto facade = Mpeg::IFfMpegFacade::Create(c.audio != kNone);
        const std::string thrown = TestMedia::Thrown([&] {
            facade->StartInitMediaFile(TestMedia::Wide(dir / "out.mp4"));
            auto video = TestMedia::VideoRecord(static_cast<Video>(c.video), 64, 48, c.timeScale);
            video->codecConfiguration.mediaType = static_cast<Mpeg::MediaType>(c.mediaType);
            facade->InitStreamVideo(std::move(video));
            if (c.audio != kNone)
            {
                auto audio = std::make_unique<Mpeg::StreamParametersAudio>();
                audio->codecId = static_cast<Mpeg::CodecIdAudio>(c.audio);
                audio->timeScale = c.rate;
                audio->channelLayout = static_cast<Mpeg::ChannelLayout>(c.layout);
                facade->InitStreamAudio(std::move(audio));
            }
            facade->FinishInitMediaFile();
        });
        EXPECT_EQ(thrown.substr(0, c.expected.size()), c.expected);
        EXPECT_EQ(std::filesystem::exists(dir / "out.mp4"), c.expected == "nothing") << c.expected;
        facade->FinishMediaFile();
        std::filesystem::remove_all(dir / "out.mp4");
    }
}
