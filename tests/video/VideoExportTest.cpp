// Video through the public facade, read back with libavformat.

#include "support/TestMedia.h"

#include <mpegexporter/Journal.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <tuple>

using Video = Mpeg::CodecIdVideo;

namespace
{
std::int64_t Ticks(std::int64_t value, AVRational timeBase, int timeScale)
{
    return av_rescale_q(value, timeBase, AVRational{1, timeScale});
}
} // namespace

// Pictures are shown at their host time since the start, from tick 0, each
// decoded one tick before; the last lasts as long as the one before it. Any
// pause up to a day stays, at any time scale; a longer one is the host's
// clock jumping and is closed up.
namespace
{
constexpr std::uint64_t kDay = 864'000'000'000; // 100-ns units
// name, time scale, start, offset, host times (100-ns units); pts written, where the last picture ends
using Timing = std::tuple<const char*, std::int32_t, std::uint64_t, std::int32_t, std::vector<std::uint64_t>,
                          std::vector<std::int64_t>, std::int64_t>;
const Timing kTimings[] = {
    {"before the start is dropped", 25, 1000, 0, {999, 1000, 999, 401000}, {0, 1}, 2},
    {"first at start", 1000, 0, 0, {0, 400000}, {0, 40}, 80},
    {"first after start", 1000, 0, 0, {10000, 410000}, {1, 41}, 81},
    {"a step back", 1000, 0, 0, {0, 1000000, 500000, 1010000}, {0, 100, 101, 102}, 103},
    // The last picture lasts as long as those before it, not the gap.
    {"a gap before the last", 1000, 0, 0, {0, 400000, 800000, 100000000}, {0, 40, 80, 10000}, 10040},
    {"90 kHz", 90000, 0, 0, {0, 400000, 800000}, {0, 3600, 7200}, 10800},
    {"ten hours", 1000, 0, 0, {0, 400000, 360000000000ull}, {0, 40, 36000000}, 36000040},
    // 2^31 ticks and more between two pictures: the track's clock is coarser.
    {"a day at 90 kHz", 90000, 0, 0, {0, 400000, kDay + 400000}, {0, 3600, 7776003600}, 7776007200},
    {"a clock jump", 1000, 0, 0, {0, 400000, kDay + 410000, kDay + 810000}, {0, 40, 80, 120}, 160},
    {"offset added", 1000, 0, 100, {0, 400000}, {100, 140}, 180},
    {"negative offset", 1000, 0, -50, {0, 400000, 10000000}, {0, 1, 950}, 951},
};

class VideoTiming : public ::testing::TestWithParam<Timing>
{
};
} // namespace

TEST_P(VideoTiming, PicturesAreTimedOnTheStreamClock)
{
    const auto& [name, timeScale, start, offset, timestamps, expected, expectedEnd] = GetParam();
    static const auto media = TestMedia::EncodeVideo("mpeg4", 64, 48, 4);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "out.mp4", TestMedia::VideoRecord(Video::Mpeg4, media, timeScale, start, offset));
    Mpeg::MediaPacketList list;
    for (std::size_t i = 0; i < timestamps.size(); ++i)
        list.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{media.packets[i], timestamps[i]}));
    facade->AddPacketsVideo(std::move(list));
    facade->FinishMediaFile();

    const auto file = TestMedia::Read(dir / "out.mp4");
    ASSERT_EQ(file.streams.size(), 1u);
    const AVRational timeBase = file.streams[0].timeBase;
    std::vector<std::int64_t> pts;
    for (const auto& packet : file.packets)
    {
        pts.push_back(Ticks(packet.pts, timeBase, timeScale));
        EXPECT_EQ(packet.pts - packet.dts, 1) << "decoded a tick before shown";
    }
    EXPECT_EQ(pts, expected);
    const double end = file.streams[0].startSeconds + file.streams[0].durationSeconds;
    EXPECT_NEAR(end * timeScale, static_cast<double>(expectedEnd), 0.01);
}

INSTANTIATE_TEST_SUITE_P(HostTimes, VideoTiming, ::testing::ValuesIn(kTimings),
                         [](const auto& info) { return TestMedia::TestName(std::get<0>(info.param)); });

// Time scales up to 2^31 - 1 give a right timeline: the track's clock is the
// finest whole fraction of the host's that holds a day between pictures, and
// transcoded pictures get an encoder clock MPEG-4 part 2 takes.
TEST(VideoExport, FineClocksKeepTheirTimeline)
{
    static const auto mpeg4 = TestMedia::EncodeVideo("mpeg4", 64, 48, 4), h263 = TestMedia::EncodeVideo("h263", 128, 96, 4);
    const std::uint64_t times[] = {0, 400000, 10'000'000'000, 10'000'400'000}; // 0, 40 ms, 1000 s, 1000.04 s
    TestMedia::TempDir dir;
    for (const std::int32_t timeScale : {90000, 1'000'000, INT_MAX})
        for (const auto* media : {&mpeg4, &h263})
        {
            SCOPED_TRACE(std::to_string(timeScale) + (media == &h263 ? ", transcoded" : ", copied"));
            auto facade = Mpeg::IFfMpegFacade::Create(false);
            TestMedia::Open(*facade, dir / "fine.mp4",
                            TestMedia::VideoRecord(media == &h263 ? Video::H263 : Video::Mpeg4, *media, timeScale));
            for (std::size_t i = 0; i < std::size(times); ++i)
                facade->AddPacketsVideo(TestMedia::ToHostPackets(*media, times[i], 0, i, 1));
            facade->FinishMediaFile();

            const auto file = TestMedia::Read(dir / "fine.mp4");
            ASSERT_EQ(file.packets.size(), std::size(times));
            const double tick = av_q2d(file.streams[0].timeBase);
            for (std::size_t i = 0; i < std::size(times); ++i)
                EXPECT_NEAR(static_cast<double>(file.packets[i].pts) * tick, static_cast<double>(times[i]) / 1e7, tick);
            EXPECT_NEAR(file.streams[0].durationSeconds, 1000.08, 2 * tick);
        }
}

// Copies keep codec, extradata, bytes and key pictures; transcodes keep the key
// pictures; a field of interlaced video (less than half as high as wide) shows
// at 4:3. The host's clock is 90 kHz, finer than a track's may be: both paths
// keep every picture on its time in the track's coarser clock. An export
// released unfinished, as a killed process leaves it, has a journal that lists
// in order the size and checksum of every payload in the media data, whatever
// form H.264 and H.265 came in: without extradata the muxer takes the first
// picture as the stream's configuration and, when that has start codes,
// rewrites every picture as it does with Annex B extradata.
namespace
{
// encoder, host codec, what the file holds, container, size, aspect; with extradata, with start codes (which the
// muxer turns into length prefixes)
using Form = std::tuple<const char*, Video, AVCodecID, const char*, int, int, AVRational, bool, bool>;
const Form kForms[] = {
    {"libx264", Video::H264, AV_CODEC_ID_H264, "mp4", 160, 120, {0, 1}, true, false},
    {"libx264", Video::H264, AV_CODEC_ID_H264, "mov", 160, 120, {0, 1}, true, true},
    {"libx264", Video::H264, AV_CODEC_ID_H264, "mp4", 160, 120, {0, 1}, false, true},
    {"mjpeg", Video::Mjpeg, AV_CODEC_ID_MJPEG, "mp4", 320, 112, {7, 15}, false, false},
    {"mjpeg", Video::Mjpeg, AV_CODEC_ID_MJPEG, "mov", 160, 120, {0, 1}, false, false},
    {"mpeg4", Video::Mpeg4, AV_CODEC_ID_MPEG4, "mp4", 128, 48, {1, 2}, true, false},
    {"libx265", Video::H265, AV_CODEC_ID_HEVC, "mp4", 160, 120, {0, 1}, false, true},
    {"libx265", Video::H265, AV_CODEC_ID_HEVC, "mov", 160, 120, {0, 1}, true, true},
    // A custom picture size: the picture type sits in PLUSPTYPE.
    {"h263p", Video::H263, AV_CODEC_ID_H263, "mov", 160, 120, {0, 1}, false, false},
    // Not an MP4 codec: MPEG-4 with the headers out of band, I-pictures where the source has them.
    {"h263", Video::H263, AV_CODEC_ID_MPEG4, "mp4", 176, 144, {0, 1}, false, false},
};

class VideoCodecs : public ::testing::TestWithParam<Form>
{
};
} // namespace

TEST_P(VideoCodecs, EachCodecIsCopiedOrTranscodedWithItsKeyPictures)
{
    const auto& [encoder, codec, written, extension, width, height, aspect, extradata, annexB] = GetParam();
    if (!TestMedia::HasEncoder(encoder))
        GTEST_SKIP() << "no " << encoder << " encoder in this FFmpeg";
    const auto media = TestMedia::EncodeVideo(encoder, width, height, 30, 25, 10, extradata, 0, annexB);
    ASSERT_EQ(media.extradata.empty(), !extradata);
    const bool copied = codec != Video::H263 || written == AV_CODEC_ID_H263;
    TestMedia::TempDir dir;
    const auto unfinished = dir / (std::string("unfinished.") + extension);
    {
        auto facade = Mpeg::IFfMpegFacade::Create(false);
        TestMedia::Open(*facade, unfinished, TestMedia::VideoRecord(codec, media, 90000));
        TestMedia::AddInLists(*facade, media, 0, 30, 17);
        facade->EstimateFileSize(0, 1);
    }
    const TestMedia::Bytes data = TestMedia::FileBytes(unfinished),
                           bytes = TestMedia::FileBytes(Mpeg::Journal::PathFor(unfinished.string()));
    const auto journal = Mpeg::Journal::Parse(bytes.data(), bytes.size(), TestMedia::Crc32);
    ASSERT_EQ(journal.packets.size(), media.packets.size());
    // The media data follows ftyp, a free box and the mdat's own header.
    std::size_t at = 0;
    while (at + 8 <= data.size() && std::string(data.begin() + at + 4, data.begin() + at + 8) != "mdat")
        at += std::max<std::size_t>(8, std::size_t{data[at]} << 24 | data[at + 1] << 16 | data[at + 2] << 8 | data[at + 3]);
    at += 8;
    for (const auto& entry : journal.packets)
    {
        ASSERT_LE(at + entry.size, data.size());
        EXPECT_EQ(Mpeg::Journal::PayloadChecksum(TestMedia::Crc32, data.data() + at, entry.size), entry.checksum) << at;
        at += entry.size;
    }

    const auto path = dir / (std::string("out.") + extension);
    TestMedia::ExportFile(path, TestMedia::VideoRecord(codec, media, 90000), nullptr, media, 30, 17);
    EXPECT_FALSE(std::filesystem::exists(Mpeg::Journal::PathFor(path.string())));
    const auto file = TestMedia::Read(path);
    ASSERT_EQ(file.streams.size(), 1u);
    const TestMedia::ReadStream& stream = file.streams[0];
    EXPECT_EQ(std::tuple(stream.codecId, stream.width, stream.height), std::tuple(written, width, height));
    EXPECT_EQ(av_cmp_q(stream.sampleAspectRatio, aspect), 0);
    EXPECT_TRUE(copied && !annexB ? stream.extradata == media.extradata : !stream.extradata.empty());
    ASSERT_EQ(file.packets.size(), media.packets.size());
    for (std::size_t i = 0; i < media.packets.size(); ++i)
    {
        EXPECT_TRUE(!copied || annexB || file.packets[i].data == media.packets[i]) << "payload of packet " << i;
        EXPECT_EQ(Ticks(file.packets[i].pts, stream.timeBase, 25), static_cast<std::int64_t>(i)) << i;
    }
    EXPECT_EQ(stream.syncSamples, media.keyPictures);
    EXPECT_FALSE(file.packets.back().discarded) << "the last picture must stay inside the track";
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), static_cast<int>(media.packets.size()));
}

INSTANTIATE_TEST_SUITE_P(Forms, VideoCodecs, ::testing::ValuesIn(kForms), [](const auto& info) {
    const bool extradata = std::get<7>(info.param);
    const bool annexB = std::get<8>(info.param);
    return TestMedia::TestName(std::string(std::get<0>(info.param)) + "_into_" + std::get<3>(info.param) +
                               (annexB ? "_start_codes" : "") + (annexB && !extradata ? "_in_band" : ""));
});

// BMP pictures (RGB) are converted to the encoder's pixel format and
// transcoded into MPEG-4 part 2 like H.263, in MP4 and MOV: every picture is
// the source's, within what the encoder loses.
TEST(VideoExport, BmpPicturesAreConvertedAndTranscoded)
{
    const auto bmp = TestMedia::EncodeVideo("bmp", 160, 120, 25);
    const std::vector<TestMedia::Bytes> source = TestMedia::DecodeGray(bmp);
    ASSERT_EQ(source.size(), 25u);
    TestMedia::TempDir dir;
    for (const char* container : {"mp4", "mov"})
    {
        SCOPED_TRACE(container);
        const auto path = dir / (std::string("bmp.") + container);
        TestMedia::ExportFile(path, TestMedia::VideoRecord(Video::Bmp, bmp), nullptr, bmp, 25, 10);
        const auto file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), 1u);
        EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
        const std::vector<TestMedia::Bytes> written = TestMedia::DecodeGray(path);
        ASSERT_EQ(written.size(), source.size());
        for (std::size_t i = 0; i < source.size(); ++i)
        {
            double difference = 0;
            for (std::size_t p = 0; p < source[i].size(); ++p)
                difference += std::abs(int(source[i][p]) - int(written[i][p]));
            EXPECT_LT(difference / static_cast<double>(source[i].size()), 3) << "picture " << i;
        }
    }
}

// Bad records are refused by the call that takes them; nothing is written.
TEST(VideoExport, BadRecordsAreRefused)
{
    constexpr std::int32_t kNone = INT_MAX; // no audio: the video-only facade
    const std::string positive = TestMedia::Refusal("Stream::Stream: timeScale must be positive");
    const std::string rate =
        TestMedia::Refusal("StreamAudio::StreamAudio: timeScale must be a sample rate from 1000 to 384000");
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
                auto audio = TestMedia::AudioRecord(static_cast<Mpeg::CodecIdAudio>(c.audio), c.rate);
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
