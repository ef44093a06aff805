// Where AudioPlacement puts audio, against a track that only records what it
// is asked to do: fast checks of each rule, including the ones real media
// reaches rarely (clock jumps, a video that stops, gaps no sample can hold).

#include "sync/AudioPlacement.h"
#include "sync/ClockPolicy.h"
#include "sync/TrackError.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>
#include <vector>

namespace
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

// A track that logs where things land: "start at P", "silence N at P",
// "gap N at P", "audio N at P" (N ticks of the packet after a cut of C:
// "audio N at P cut C"), "skipped at P" for a packet it cannot use (an
// empty one), "flush".
class FakeTrack final : public Mpeg::AudioTrack
{
public:
    FakeTrack(bool sampleAccurate, std::int64_t granularity, std::int64_t longest = Mpeg::kLongestSample)
        : m_sampleAccurate(sampleAccurate), m_granularity(granularity), m_longest(longest)
    {
    }
    std::int64_t End() const override { return m_end; }
    void Start(std::int64_t position) override { m_end = position, Log("start", -1); }
    bool SampleAccurate() const override { return m_sampleAccurate; }
    std::int64_t Granularity() const override { return m_granularity; }
    void Fill(std::int64_t ticks, Mpeg::PacketSequence&) override
    {
        EXPECT_EQ(ticks % m_granularity, 0) << "silence in whole steps";
        Log("silence", ticks);
    }
    void FillToEnd(std::int64_t ticks, Mpeg::PacketSequence&) override { Log("silence to the end", ticks); }
    std::int64_t Skip(std::int64_t ticks) override { return Log("gap", std::min(ticks, m_longest)); }
    bool Append(std::unique_ptr<Mpeg::OwnedPacket> packet, std::int64_t trim, Mpeg::PacketSequence&) override
    {
        if (packet->packet.size == 0)
            return Log("skipped", -1), false;
        return Log("audio", packet->packet.duration - trim, trim), true;
    }
    void Stretch(std::int64_t) override {}
    void Flush(Mpeg::PacketSequence&) override { events.push_back("flush"); }

    std::vector<std::string> events;

private:
    // Logs what lands at the end, which moves on by `ticks` (none: -1).
    std::int64_t Log(const char* what, std::int64_t ticks, std::int64_t cut = 0)
    {
        events.push_back(what + (ticks >= 0 ? " " + std::to_string(ticks) : "") + " at " + std::to_string(m_end) +
                         (cut > 0 ? " cut " + std::to_string(cut) : ""));
        m_end += std::max<std::int64_t>(ticks, 0);
        return ticks;
    }

    bool m_sampleAccurate;
    std::int64_t m_granularity;
    std::int64_t m_longest;
    std::int64_t m_end = 0;
};

constexpr AVRational kTimeBase{1, 8000};

std::unique_ptr<Mpeg::OwnedPacket> Packet(std::int64_t pts, std::int64_t duration, bool usable = true)
{
    const std::uint8_t bytes[1] = {0};
    auto packet = Mpeg::OwnedPacket::CopyOf(bytes, usable ? 1 : 0);
    packet->packet.pts = pts;
    packet->packet.duration = duration;
    return packet;
}

// Pictures from `from` to `to` (audio ticks), 320 apart (25 a second at 8 kHz).
Mpeg::PacketSequence Pictures(std::int64_t from, std::int64_t to)
{
    Mpeg::PacketSequence video;
    for (std::int64_t pts = from; pts < to; pts += 320)
        (video.emplace_back(Packet(pts, 320)))->packet.duration = 320;
    return video;
}

// The host's calls, each: pictures [from, to) first (none when to <= from), then audio packets.
struct Call
{
    std::int64_t videoFrom, videoTo;
    std::vector<std::pair<std::int64_t, std::int64_t>> audio; // pts, duration; a negative duration: unusable
};

std::vector<std::string> Place(FakeTrack& track, const std::vector<Call>& calls)
{
    Mpeg::AudioPlacement placement(track, kTimeBase);
    Mpeg::PacketSequence out;
    for (const Call& call : calls)
    {
        placement.AddVideo(Pictures(call.videoFrom, call.videoTo), kTimeBase, out);
        for (const auto& [pts, duration] : call.audio)
            placement.AddAudio(Packet(pts, std::abs(duration), duration > 0), out);
    }
    placement.Finish(out);
    return track.events;
}

using Events = std::vector<std::string>;
} // namespace

TEST(AudioPlacement, PlacesAudioOnTheHostClockAgainstTheVideo)
{
    constexpr std::int64_t kDay = 24 * 3600 * 8000;
    const struct
    {
        const char* name;
        bool sampleAccurate;
        std::int64_t granularity;
        std::vector<Call> calls;
        Events expected;
        std::int64_t longest = Mpeg::kLongestSample; // the longest sample the track can hold
    } cases[] = {
        {"audio from the first picture", true, 1, {{0, 640, {{0, 160}, {160, 160}, {320, 160}, {480, 160}}}},
         {"start at 0", "audio 160 at 0", "audio 160 at 160", "audio 160 at 320", "audio 160 at 480", "flush"}},
        // Frames are whole: the track begins up to a frame after the picture, the packet on its time.
        {"silence from the first picture", false, 1024, {{0, 3840, {{2500, 1024}}}},
         {"start at 452", "silence 2048 at 452", "audio 1024 at 2500", "silence to the end 316 at 3524", "flush"}},
        {"audio before the first picture", true, 1, {{1000, 1320, {{0, 1320}}}}, {"start at 0", "audio 1320 at 0", "flush"}},
        // Audio that comes a second late is placed at its time, not after a gap.
        {"late audio", false, 1024, {{0, 8000, {}}, {8000, 16000, {{0, 1024}, {1024, 1024}}}},
         {"start at 0", "audio 1024 at 0", "audio 1024 at 1024", "silence to the end 13952 at 2048", "flush"}},
        // Audio whose video all lies before the start is written on its own.
        {"no video", false, 1024, {{0, 0, {{0, 1024}}}, {0, 0, {{1024, 1024}}}},
         {"start at 0", "audio 1024 at 0", "audio 1024 at 1024", "flush"}},
        {"the rest of the video filled at the end", true, 1, {{0, 3200, {{0, 160}}}},
         {"start at 0", "audio 160 at 0", "silence to the end 3040 at 160", "flush"}},
        {"a hole the video covers", true, 1, {{0, 9920, {{0, 160}, {8000, 160}}}},
         {"start at 0", "audio 160 at 0", "silence 7840 at 160", "audio 160 at 8000", "silence to the end 1760 at 8160", "flush"}},
        // Audio after a hole waits for the video to reach it.
        {"a hole the video reaches later", true, 1,
         {{0, 3200, {{0, 160}, {8000, 160}}}, {3200, 8320, {}}},
         {"start at 0", "audio 160 at 0", "silence 7840 at 160", "audio 160 at 8000", "silence to the end 160 at 8160", "flush"}},
        // The video's end is final: silence up to it, a gap after.
        {"a hole beyond the video's end", true, 1, {{0, 3200, {{0, 160}, {80000, 160}}}},
         {"start at 0", "audio 160 at 0", "silence 3040 at 160", "gap 76800 at 3200", "audio 160 at 80000", "flush"}},
        // Ten seconds of audio wait for video that does not come; then the same.
        {"a video that stops", true, 1,
         {{0, 3200, {{0, 160}, {16000, 160}}}, {0, 0, {{96000, 160}}}, {0, 0, {{96160, 160}}}},
         {"start at 0", "audio 160 at 0", "silence 3040 at 160", "gap 12800 at 3200", "audio 160 at 16000",
          "gap 79840 at 16160", "audio 160 at 96000", "audio 160 at 96160", "flush"}},
        // More than a day is the clock jumping: the track goes on as if no time had passed.
        {"an audio clock jump", true, 1, {{0, 640, {{0, 160}, {kDay + 8160, 160}, {kDay + 8320, 160}}}},
         {"start at 0", "audio 160 at 0", "audio 160 at 160", "audio 160 at 320", "silence to the end 160 at 480", "flush"}},
        // A clock stepped back: what the track already holds is left out.
        {"a clock stepped back", true, 1,
         {{0, 21120, {{0, 4000}, {4000, 4000}, {8000, 4000}, {12000, 4000}, {9000, 4000}, {13000, 4000},
                      {17000, 4000}}}},
         {"start at 0", "audio 4000 at 0", "audio 4000 at 4000", "audio 4000 at 8000", "audio 4000 at 12000",
          "audio 1000 at 16000 cut 3000", "audio 4000 at 17000", "silence to the end 120 at 21000", "flush"}},
        // A packet the track cannot use leaves silence for its span.
        {"a packet that does not decode", true, 1, {{0, 480, {{0, 160}, {160, -160}, {320, 160}}}},
         {"start at 0", "audio 160 at 0", "skipped at 160", "silence 160 at 160", "audio 160 at 320",
          "silence to the end 160 at 480", "flush"}},
        // A gap no sample can last is closed up beyond what one can.
        {"a gap longer than a sample", true, 1, {{0, 320, {{0, 160}, {400000, 160}}}},
         {"start at 0", "audio 160 at 0", "silence 160 at 160", "gap 100000 at 320", "audio 160 at 100320", "flush"},
         100000},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        FakeTrack track(c.sampleAccurate, c.granularity, c.longest);
        EXPECT_EQ(Place(track, c.calls), c.expected);
    }
}

// A device clock 1000 ppm fast against the host's, with 30 ms of jitter:
// the smoothed error keeps the track within 20 ms plus the jitter it cannot
// see through, by leaving out audio; a slow one, by adding silence.
TEST(AudioPlacement, ADriftingDeviceIsCorrected)
{
    for (const double drift : {1e-3, -1e-3})
    {
        SCOPED_TRACE(drift);
        FakeTrack track(true, 1);
        Mpeg::AudioPlacement placement(track, kTimeBase);
        Mpeg::PacketSequence out;
        placement.AddVideo(Pictures(0, 8000 * 700), kTimeBase, out);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> jitter(-240, 240); // 30 ms
        double worst = 0;
        for (int k = 0; k < 600 * 50; ++k)
        {
            const double at = k * 160 / (1 + drift);
            const auto pts = static_cast<std::int64_t>(at + jitter(random));
            const std::int64_t lands = track.End();
            placement.AddAudio(Packet(std::max<std::int64_t>(pts, 0), 160), out);
            if (k > 50)
                worst = std::max(worst, std::abs(static_cast<double>(lands) - at));
        }
        EXPECT_LT(worst, 0.02 * 8000 + 240) << "ticks from the host's time, after the first second";
    }
}

TEST(TrackError, SmoothsJitterAndTellsSteps)
{
    Mpeg::TrackError error(8000);
    std::mt19937 random(3);
    std::uniform_int_distribution<std::int64_t> jitter(-240, 240);
    for (int k = 0; k < 500; ++k)
    {
        const std::int64_t e = 400 + jitter(random);
        EXPECT_EQ(error.Step(e), 0) << "jitter is not a step";
        error.Observe(e, 160);
    }
    EXPECT_NEAR(error.Value(), 400, 40) << "the smoothed error";
    EXPECT_NEAR(error.Step(400 + 4000), 4000, 40) << "half a second";
    EXPECT_NEAR(error.Step(400 - 4000), -4000, 40) << "a clock stepped back";
    error.Moved(400);
    EXPECT_NEAR(error.Value(), 0, 40);
}
