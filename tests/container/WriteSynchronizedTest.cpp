// Gap filling: where the audio track would have no data against the video,
// copies of the silence packet go in first, never across a clock jump.

#include "container/FormatContext.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace
{
using TestMedia::Bytes;
using Ticks = std::vector<std::int64_t>;

constexpr std::int64_t kStep = 1024; // one AAC frame at the audio time base 1/8000
const Bytes kReal = {0xAA, 0xBB};

std::unique_ptr<Mpeg::OwnedPacket> Packet(int stream, std::int64_t pts, const Bytes& data)
{
    auto packet = Mpeg::OwnedPacket::CopyOf(data.data(), data.size());
    packet->packet.stream_index = stream;
    packet->packet.pts = packet->packet.dts = pts;
    return packet;
}

// Writes into a NUT file, which stores packets and timestamps exactly as
// given, so the file shows what reached the muxer. Video times are in 1/25,
// audio in 1/8000: a video pts of 1 is audio tick 320.
class Writer
{
public:
    Writer(const TestMedia::TempDir& dir, std::int64_t step, bool divisible)
        : m_path(dir / "w.nut"), m_output(TestMedia::Wide(m_path))
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
        audio->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
        audio->codecpar->sample_rate = 8000;
        av_channel_layout_default(&audio->codecpar->ch_layout, 1);
        audio->time_base = AVRational{1, 8000};
        m_output.OpenAndWriteHeader();
        m_output.m_videoTimeBase = video->time_base;
        m_output.m_audioTimeBase = audio->time_base;
        if (step > 0)
            m_output.m_silencePacket = Packet(1, 0, Bytes(static_cast<std::size_t>(2 * step), 0));
        m_output.m_silenceDuration = step;
        m_output.m_silenceDivisible = divisible;
    }

    // Each audio packet lasts `audioDuration` ticks.
    void Write(const Ticks& video, const Ticks& audio, std::int64_t audioDuration = 0)
    {
        Mpeg::PacketSequence v, a;
        for (std::int64_t pts : video)
            v.push_back(Packet(0, av_rescale_q(pts, AVRational{1, 25}, m_output.m_videoTimeBase), {0xFF, 0xD8}));
        for (std::int64_t pts : audio)
        {
            a.push_back(Packet(1, pts, kReal));
            a.back()->packet.duration = audioDuration;
        }
        m_output.WriteSynchronized(std::move(v), std::move(a));
    }

    // The audio pts in the finished file, fillers and real packets apart.
    std::pair<Ticks, Ticks> Audio()
    {
        m_output.WriteTrailer();
        Ticks fillers, real;
        for (const auto& packet : TestMedia::Read(m_path).packets)
            if (packet.streamIndex == 1)
                (packet.data == kReal ? real : fillers).push_back(packet.pts);
        return {fillers, real};
    }

    std::filesystem::path m_path;
    Mpeg::FormatContextOutput m_output;
};

struct Call
{
    Ticks video; // 1/25
    Ticks audio; // 1/8000
    std::int64_t audioDuration = 0;
};
} // namespace

// Fillers go in whole steps from the first video packet, strictly above the
// last tick audio already covers, and none reaches the first audio packet
// (PCM silence is cut to end exactly at it). A gap ending well beyond the
// video, or past a picture where the video clock jumped, stays a gap.
TEST(WriteSynchronized, FillsAudioGapsAgainstTheVideo)
{
    const std::int64_t margin = Mpeg::kFillBeyondVideoSeconds * 8000;
    const std::int64_t jump = Mpeg::kVideoClockJumpSeconds * 25 + 1;
    struct Case
    {
        const char* name;
        std::vector<Call> calls;
        Ticks fillers;
        std::int64_t step = kStep;
        bool divisible = false;
    };
    const Case cases[] = {
        // t0 = 0 is not above the initial last timestamp 0.
        {"five steps from zero", {{{0, 16}, {5120}}}, {1024, 2048, 3072}},
        {"audio before the video", {{{10, 11}, {3000, 4024}}}, {}},
        {"exactly one step", {{{1}, {320 + kStep}}}, {}},
        {"one step and a tick", {{{1}, {320 + kStep + 1}}}, {320}},
        {"no audio: up to the last picture", {{{1, 5, 10}, {}}}, {320, 1344}},
        {"later calls do not refill", {{{1, 2}, {5000}}, {{10, 11}, {6000}}}, {320, 1344, 2368, 3392}},
        {"not inside the last audio packet", {{{1, 2}, {320}, 1024}, {{4, 5}, {5000}}}, {2304, 3328}},
        {"PCM cut at the audio", {{{1}, {720}}}, {320, 480, 640}, 160, true},
        {"the same whole", {{{1}, {720}}}, {320, 480}, 160, false},
        {"audio within the margin", {{{1, 2}, {640 + margin}}}, {320}, margin - 320},
        {"audio beyond the margin", {{{1, 2}, {640 + margin + 1}}}, {}, 320},
        {"video clock jump", {{{1, 20, 20 + jump}, {}}}, {320, 1344, 2368, 3392, 4416}},
        {"no silence packet", {{{1, 2}, {5000}}}, {}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TestMedia::TempDir dir;
        Writer writer(dir, c.step, c.divisible);
        Ticks expectedReal;
        for (const Call& call : c.calls)
        {
            writer.Write(call.video, call.audio, call.audioDuration);
            expectedReal.insert(expectedReal.end(), call.audio.begin(), call.audio.end());
        }
        const auto [fillers, real] = writer.Audio();
        EXPECT_EQ(fillers, c.fillers);
        EXPECT_EQ(real, expectedReal);
    }
}
