#include "sync/AudioPlacement.h"

#include "sync/ClockPolicy.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
// How long (in its own time) audio after a hole waits for the video to reach
// it: video resumes only at a key picture, which cameras send every few
// seconds; a missing video stream holds no more than this of audio back.
constexpr std::int64_t kMaxHoldSeconds = 10;
// The smoothed error a track may have before it is corrected in whole: well
// below what viewers notice (45 ms early, 125 ms late), well above the
// estimate's own noise.
constexpr std::int64_t kCorrectionMilliseconds = 20;

std::int64_t RoundDown(std::int64_t ticks, std::int64_t step)
{
    return ticks / step * step;
}

std::int64_t RoundNearest(std::int64_t ticks, std::int64_t step)
{
    return (ticks + step / 2) / step * step;
}
} // namespace

AudioPlacement::AudioPlacement(AudioTrack& track, AVRational timeBase)
    : m_track(track), m_timeBase(timeBase), m_error(av_rescale_q(1, AVRational{1, 1}, timeBase))
{
}

void AudioPlacement::AddVideo(const PacketSequence& video, AVRational videoTimeBase, PacketSequence& out)
{
    if (video.empty())
        return;
    const auto ticks = [&](std::int64_t t) { return av_rescale_q(t, videoTimeBase, m_timeBase); };
    const AVPacket& last = video.back()->packet;
    if (!m_videoStarted)
    {
        m_videoStarted = true;
        m_videoStart = ticks(video.front()->packet.pts);
    }
    m_videoEnd = std::max(m_videoEnd, ticks(last.pts + last.duration));
    Release(out);
}

void AudioPlacement::AddAudio(std::unique_ptr<OwnedPacket> packet, PacketSequence& out)
{
    m_waiting.push_back(std::move(packet));
    Release(out);
}

void AudioPlacement::Finish(PacketSequence& out)
{
    m_finishing = true;
    Release(out);
    if (!m_started && m_videoStarted)
    {
        m_started = true;
        m_track.Start(m_videoStart);
    }
    // Audio that stopped before the video: silence up to the video's end.
    if (m_started && m_videoStarted)
        if (const std::int64_t rest = m_videoEnd - m_track.End(); rest > 0 && !IsClockJump(rest, m_timeBase))
            m_track.FillToEnd(rest, out);
    m_track.Flush(out);
}

void AudioPlacement::Release(PacketSequence& out)
{
    const std::int64_t maxHold = av_rescale_q(kMaxHoldSeconds, AVRational{1, 1}, m_timeBase);
    while (!m_waiting.empty())
    {
        if (MustWait(m_waiting.front()->packet) &&
            m_waiting.back()->packet.pts - m_waiting.front()->packet.pts <= maxHold)
            return;
        std::unique_ptr<OwnedPacket> packet = std::move(m_waiting.front());
        m_waiting.pop_front();
        Place(std::move(packet), out);
    }
}

bool AudioPlacement::MustWait(const AVPacket& packet) const
{
    if (m_finishing)
        return false;
    const std::int64_t pts = packet.pts - m_closedUp;
    // The first audio waits for the first picture, which tells where the
    // track begins, and for the video to reach it, which tells whether
    // silence may fill the start.
    if (!m_started)
        return !m_videoStarted || (m_videoStart < pts && m_videoEnd < pts);
    const std::int64_t step = m_error.Step(pts - m_track.End());
    return step > 0 && !IsClockJump(step, m_timeBase) && m_videoEnd < pts;
}

void AudioPlacement::Place(std::unique_ptr<OwnedPacket> owned, PacketSequence& out)
{
    AVPacket& packet = owned->packet;
    packet.pts -= m_closedUp;
    if (!m_started)
    {
        const std::int64_t closedUp = Begin(packet.pts, out);
        m_closedUp += closedUp;
        packet.pts -= closedUp;
    }

    std::int64_t error = packet.pts - m_track.End();
    std::int64_t overlap = 0;
    if (const std::int64_t step = m_error.Step(error); step != 0)
    {
        std::int64_t closedUp = 0;
        if (IsClockJump(std::abs(step), m_timeBase))
            closedUp = step; // the track goes on as if no time had passed
        else if (step > 0)
            closedUp = FillHole(packet.pts, step, out);
        else
            overlap = -step; // the clock stepped back: what the track already holds is left out
        m_closedUp += closedUp;
        packet.pts -= closedUp;
        error = packet.pts - m_track.End();
    }
    const bool sampleAccurate = m_track.SampleAccurate();
    const std::int64_t duration = std::max<std::int64_t>(packet.duration, 1);
    if (overlap >= duration || (!sampleAccurate && 2 * overlap >= duration))
        return;
    if (!sampleAccurate)
        overlap = 0;
    m_error.Observe(error + overlap, duration);

    // What the smoothed error asks to leave out comes out of this packet:
    // all of it, or (sample-accurate) its first samples.
    const std::int64_t cut = std::min(Correct(out), duration - overlap);
    if (overlap + cut >= duration || (!sampleAccurate && 2 * cut >= duration))
    {
        m_error.Moved(-(duration - overlap));
        return;
    }
    const std::int64_t trim = sampleAccurate ? overlap + cut : 0;
    if (sampleAccurate)
        m_error.Moved(-cut);
    m_track.Stretch(m_error.Value());
    if (!m_track.Append(std::move(owned), trim, out))
    {
        // A packet that cannot be used is skipped; its span becomes silence.
        ++m_unusable;
        if (const std::int64_t ticks = RoundNearest(duration - trim, m_track.Granularity()); ticks > 0)
            m_track.Fill(ticks, out);
    }
}

std::int64_t AudioPlacement::Begin(std::int64_t pts, PacketSequence& out)
{
    m_started = true;
    if (!m_videoStarted || m_videoStart >= pts || IsClockJump(pts - m_videoStart, m_timeBase))
    {
        m_track.Start(pts);
        return 0;
    }
    // Silence from the first picture, in whole steps: the track may begin up
    // to one step after the picture, and the first packet lands on its time.
    const std::int64_t ticks = RoundDown(pts - m_videoStart, m_track.Granularity());
    m_track.Start(pts - ticks);
    return FillHole(pts, ticks, out);
}

std::int64_t AudioPlacement::FillHole(std::int64_t pts, std::int64_t ticks, PacketSequence& out)
{
    const std::int64_t step = m_track.Granularity();
    if (m_videoEnd >= pts)
    {
        if (const std::int64_t silence = RoundNearest(ticks, step); silence > 0)
            m_track.Fill(silence, out);
        return 0;
    }
    // The video does not reach the end of the hole (its clock is behind, or
    // it stopped): silence as far as it goes, a gap after that.
    const std::int64_t reach =
        m_videoStarted ? std::clamp<std::int64_t>(m_videoEnd - m_track.End(), 0, ticks) : 0;
    const std::int64_t silence = RoundDown(reach, step);
    if (silence > 0)
        m_track.Fill(silence, out);
    const std::int64_t gap = ticks - silence;
    const std::int64_t skipped = m_track.Skip(gap);
    return gap - skipped;
}

std::int64_t AudioPlacement::Correct(PacketSequence& out)
{
    const std::int64_t step = m_track.Granularity();
    const std::int64_t threshold =
        std::max(step / 2, av_rescale_q(kCorrectionMilliseconds, AVRational{1, 1000}, m_timeBase));
    const std::int64_t error = m_error.Value();
    if (error > threshold)
    {
        const std::int64_t silence = RoundNearest(error, step);
        m_track.Fill(silence, out);
        m_error.Moved(silence);
        return 0;
    }
    return error < -threshold ? -error : 0;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
