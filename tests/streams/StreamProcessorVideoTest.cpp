#include "streams/StreamProcessorVideo.h"

#include "container/FormatContext.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Mpeg::CodecIdVideo;

TEST(StreamProcessorVideo, TimesPacketsOnTheStreamClock)
{
    constexpr std::int64_t kDrop = -1;
    struct Case
    {
        const char* name;
        std::int32_t timeScale;
        std::uint64_t start;
        std::int32_t offset;
        std::vector<std::uint64_t> timestamps;
        std::vector<std::int64_t> pts; // kDrop: no packet
        std::vector<std::int64_t> durations = {}; // checked when given
    };
    const Case cases[] = {
        {"one tick early is dropped", 25, 1000, 0, {999, 1000, 999, 401000}, {kDrop, 1, kDrop, 2}},
        // A first picture on tick 0 moves the whole stream one tick on.
        {"first at start, then 40 ms", 1000, 0, 0, {0, 400000}, {1, 41}},
        {"first after start, then 40 ms", 1000, 0, 0, {10000, 410000}, {1, 41}},
        {"equal timestamps", 1000, 0, 0, {0, 400000, 400000, 400000}, {1, 41, 42, 43}},
        {"a step back", 1000, 0, 0, {0, 1000000, 500000, 1010000}, {1, 101, 102, 103}},
        // The muxer ends the track at the last picture's duration: as long as
        // the pictures before it, even after a gap, never under 1 ms.
        {"durations", 1000, 0, 0, {0, 400000, 800000, 100000000}, {1, 41, 81, 10001}, {1, 40, 40, 40}},
        {"durations at 90 kHz", 90000, 0, 0, {0, 400000, 800000}, {1, 3601, 7201}, {90, 3600, 3600}},
        {"offset added", 1000, 0, 100, {0, 400000}, {100, 140}},
        {"negative offset", 1000, 0, -50, {0, 400000, 10000000}, {1, 2, 950}},
        {"half a tick rounds up", 1, 0, 0, {15000000}, {2}},
        {"just under half rounds down", 1, 0, 0, {14999999}, {1}},
    };
    TestMedia::TempDir dir;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Mpeg::FormatContextInput input;
        Mpeg::FormatContextOutput output(TestMedia::Wide(dir / "out.mp4"));
        auto record = TestMedia::VideoRecord(CodecIdVideo::Mpeg4, 64, 48, c.timeScale);
        record->startTime = c.start;
        record->timestampOffset = c.offset;
        Mpeg::StreamProcessorVideo processor(4, input, std::move(record));
        processor.Build(output);
        ASSERT_EQ(processor.m_transcoder, nullptr);
        for (std::size_t i = 0; i < c.timestamps.size(); ++i)
        {
            const auto packets = processor.ProcessPacket(Mpeg::MediaPacket{{0, 0, 1, 0xB6}, c.timestamps[i]});
            if (c.pts[i] == kDrop)
            {
                EXPECT_TRUE(packets.empty()) << i;
                continue;
            }
            ASSERT_EQ(packets.size(), 1u) << i;
            EXPECT_EQ(packets[0]->packet.pts, c.pts[i]) << i;
            EXPECT_EQ(packets[0]->packet.dts, c.pts[i] - 1) << i; // decoded one tick before it is shown
            if (!c.durations.empty())
            {
                EXPECT_EQ(packets[0]->packet.duration, c.durations[i]) << i;
            }
            EXPECT_EQ(packets[0]->packet.stream_index, 4) << i;
        }
    }
    EXPECT_EQ(Mpeg::ElapsedTicks(5000000, 0, 1), 1u);
    EXPECT_EQ(Mpeg::ElapsedTicks(4999999, 0, 1), 0u);
    EXPECT_EQ(Mpeg::ElapsedTicks(360000000000ull, 0, 90000), 3240000000u) << "ten hours at 90 kHz";
}

// Pictures less than half as high as wide are shown at 4:3.
TEST(StreamProcessorVideo, SampleAspectRatioOfHalfHeightPictures)
{
    const std::pair<std::pair<int, int>, AVRational> cases[] = {
        {{704, 288}, {6, 11}}, {{352, 100}, {25, 66}}, {{704, 576}, {0, 1}},
        {{352, 176}, {0, 1}},  {{0, 0}, {0, 1}},       {{64, 0}, {0, 1}},
    };
    for (const auto& [size, expected] : cases)
    {
        const AVRational ratio = Mpeg::VideoSampleAspectRatio(size.first, size.second);
        EXPECT_TRUE(ratio.num == expected.num && ratio.den == expected.den)
            << size.first << "x" << size.second << ": " << ratio.num << ":" << ratio.den;
    }
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
        {{1, 4}, {1, 2}, 1, 3, 5, 1, 2, 3}, // halves away from zero
        {{1, 4}, {1, 2}, -1, -3, 0, -1, -2, 0},
        {{1, 3}, {1, 2}, AV_NOPTS_VALUE, 5, 1, AV_NOPTS_VALUE, 3, 1}, // unset stays unset
    };
    Mpeg::FormatContextInput context;
    auto record = TestMedia::VideoRecord(CodecIdVideo::Mpeg4, 64, 48);
    Mpeg::StreamVideo input(0, context, *record);
    Mpeg::StreamVideo output(1, context, *record);
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
        const std::string trace = "1/" + std::to_string(c.from.den) + " -> " + std::to_string(c.to.num) + "/" +
                                  std::to_string(c.to.den) + ", pts " + std::to_string(c.pts);
        EXPECT_EQ(owned->packet.pts, c.expectedPts) << trace;
        EXPECT_EQ(owned->packet.dts, c.expectedDts) << trace;
        EXPECT_EQ(owned->packet.duration, c.expectedDuration) << trace;
        EXPECT_EQ(owned->packet.pos, -1) << trace;
    }
}
