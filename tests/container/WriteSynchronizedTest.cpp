#include "container/FormatContext.h"
#include "errors/AvResult.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <cstdint>
#include <string>
#include <vector>

using TestMedia::Bytes;

namespace
{
constexpr std::int64_t kStep = 1024; // one AAC frame at the audio time base 1/8000
const Bytes kSilence = {0x21, 0x10, 0x04, 0x60, 0x8C, 0x1C};

// Writes into a NUT file, which stores packets and timestamps exactly as
// given, so the file shows what reached the muxer. Tests give video times in
// 1/25 (the muxer picks its own video time base) and audio in 1/8000: a video
// pts of 1 is audio tick 320.
class Writer
{
public:
    explicit Writer(const TestMedia::TempDir& dir, const std::string& name = "w.nut", bool silence = true)
        : m_path(dir / name), m_output(TestMedia::Wide(m_path))
    {
        AVFormatContext* context = m_output.GetAvFormatContext();
        AVStream* video = avformat_new_stream(context, nullptr);
        video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        video->codecpar->codec_id = AV_CODEC_ID_MJPEG;
        video->codecpar->width = 64;
        video->codecpar->height = 48;
        video->time_base = AVRational{1, 25};
        AVStream* audio = avformat_new_stream(context, nullptr);
        audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        audio->codecpar->codec_id = AV_CODEC_ID_AAC;
        audio->codecpar->sample_rate = 8000;
        av_channel_layout_default(&audio->codecpar->ch_layout, 1);
        audio->time_base = AVRational{1, 8000};
        Mpeg::CheckAvResult(avio_open(&context->pb, context->url, AVIO_FLAG_WRITE), "::avio_open");
        Mpeg::CheckAvResult(avformat_write_header(context, nullptr), "::avformat_write_header");
        m_output.m_videoTimeBase = video->time_base;
        m_output.m_audioTimeBase = audio->time_base;
        EXPECT_EQ(av_cmp_q(audio->time_base, AVRational{1, 8000}), 0);
        if (silence)
        {
            m_output.m_silencePacket = Packet(1, 0, kSilence);
            m_output.m_silenceDuration = kStep;
        }
    }

    static std::unique_ptr<Mpeg::OwnedPacket> Packet(int stream, std::int64_t pts, const Bytes& data)
    {
        auto packet = Mpeg::OwnedPacket::CopyOf(data.data(), data.size());
        packet->packet.stream_index = stream;
        packet->packet.pts = pts;
        packet->packet.dts = pts;
        return packet;
    }

    // Video packets at the given pts (1/25), audio at the given pts (1/8000),
    // each audio packet lasting `audioDuration` ticks.
    void Write(const std::vector<std::int64_t>& video, const std::vector<std::int64_t>& audio,
               std::int64_t audioDuration = 0)
    {
        Mpeg::PacketSequence v, a;
        for (std::int64_t pts : video)
            v.push_back(Packet(0, av_rescale_q(pts, AVRational{1, 25}, m_output.m_videoTimeBase), {0xFF, 0xD8, 0xFF, 0xD9}));
        for (std::int64_t pts : audio)
        {
            a.push_back(Packet(1, pts, {0xAA, 0xBB}));
            a.back()->packet.duration = audioDuration;
        }
        m_output.WriteSynchronized(std::move(v), std::move(a));
    }

    // The audio packets in the finished file, fillers and real ones.
    std::vector<TestMedia::ReadPacket> Audio()
    {
        AVFormatContext* context = m_output.GetAvFormatContext();
        Mpeg::CheckAvResult(av_write_trailer(context), "::av_write_trailer");
        avio_closep(&context->pb);
        std::vector<TestMedia::ReadPacket> audio;
        for (const auto& packet : TestMedia::Read(m_path).packets)
            if (packet.streamIndex == 1)
                audio.push_back(packet);
        return audio;
    }

    // The pts of the fillers only.
    std::vector<std::int64_t> Fillers()
    {
        std::vector<std::int64_t> fillers;
        for (const auto& packet : Audio())
            if (packet.data == kSilence)
                fillers.push_back(packet.pts);
        return fillers;
    }

    std::filesystem::path m_path;
    Mpeg::FormatContextOutput m_output;
};

using Ticks = std::vector<std::int64_t>;
} // namespace

// Fillers go in whole steps from the first video packet, strictly above the
// last audio timestamp, and none reaches the first audio packet.
TEST(WriteSynchronized, FillsTheAudioGapBeforeThePairInWholeSteps)
{
    struct Case
    {
        const char* name;
        Ticks video; // 1/25
        Ticks audio; // 1/8000
        Ticks fillers;
    };
    const Case cases[] = {
        // t0 = 0 is not above the initial last timestamp 0.
        {"five steps from zero", {0, 16}, {5120}, {1024, 2048, 3072}},
        {"audio before the video", {10, 11}, {3000, 4024}, {}},
        {"audio with the video", {10, 11}, {3200}, {}},
        {"exactly one step", {1}, {320 + kStep}, {}},
        {"one step and a tick", {1}, {320 + kStep + 1}, {320}},
        {"exactly three steps", {1}, {320 + 3 * kStep}, {320, 1344}},
        // No audio: the span ends at the last video packet (pts 10 = 3200).
        {"video only", {1, 5, 10}, {}, {320, 1344}},
    };
    for (const Case& c : cases)
    {
        TestMedia::TempDir dir;
        Writer writer(dir);
        writer.Write(c.video, c.audio);
        EXPECT_EQ(writer.Fillers(), c.fillers) << c.name;
    }
}

TEST(WriteSynchronized, FillersAreCopiesOfTheSilencePacketAndLaterCallsDoNotRefill)
{
    TestMedia::TempDir dir;
    Writer writer(dir);
    writer.Write({1, 2}, {5000});   // fillers at 320 .. 3392
    writer.Write({10, 11}, {6000}); // 3200 .. 6000: every slot lies at or below 5000
    writer.Write({30}, {});         // the span ends where it starts
    writer.Write({40, 60}, {});     // 12800 .. 19200, all above the last audio 6000
    const auto audio = writer.Audio();

    Ticks fillers, real;
    for (const auto& packet : audio)
    {
        EXPECT_EQ(packet.pts, packet.dts);
        (packet.data == kSilence ? fillers : real).push_back(packet.pts);
    }
    EXPECT_EQ(real, (Ticks{5000, 6000}));
    Ticks expected = {320, 1344, 2368, 3392};
    for (std::int64_t t = 12800; t + kStep < 19200; t += kStep)
        expected.push_back(t);
    EXPECT_EQ(fillers, expected);
}

// A filler never overlaps audio already written: with packets longer than the
// silence step, the slots inside the last packet stay empty.
TEST(WriteSynchronized, FillersStartAfterTheEndOfTheLastAudioPacket)
{
    TestMedia::TempDir dir;
    Writer writer(dir);
    writer.Write({1, 2}, {320}, 1024);  // covers 320 .. 1343
    writer.Write({4, 5}, {5000});       // from 1280: 1280 lies inside the packet, 2304 and 3328 do not
    EXPECT_EQ(writer.Fillers(), (Ticks{2304, 3328}));
}

TEST(WriteSynchronized, WithoutAUsableSilencePacketNothingIsFilled)
{
    TestMedia::TempDir dir;
    Writer none(dir, "none.nut", false);
    none.Write({1, 2}, {5000});
    EXPECT_EQ(none.Audio().size(), 1u);

    Writer zero(dir, "zero.nut");
    zero.m_output.m_silenceDuration = 0;
    zero.Write({1, 2}, {5000});
    EXPECT_EQ(zero.Audio().size(), 1u);
}

TEST(WriteSynchronized, AFailedWriteReportsTheMuxerAndConsumesBothBatches)
{
    TestMedia::TempDir dir;
    Writer writer(dir);
    // Non-increasing video dts is refused by the muxer.
    EXPECT_EQ(TestMedia::Thrown([&] { writer.Write({5, 5}, {5000}); }),
              "AvException 22: FfMpegFacade: ::av_interleaved_write_frame: " + TestMedia::StrError(AVERROR(EINVAL)));
    // The fillers before the failing packet were written and counted.
    EXPECT_EQ(writer.m_output.m_lastAudioTimestamp, 1600 + 2 * kStep);
}
