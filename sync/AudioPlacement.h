#pragma once

#include "av/OwnedPacket.h"
#include "sync/AudioTrack.h"
#include "sync/TrackError.h"

#include <cstdint>
#include <deque>
#include <memory>

extern "C" {
#include <libavutil/rational.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Places the host's audio on the host's clock, in a track that plays the same
// in a player that follows timestamps and in one that plays audio as one
// continuous stream: every packet starts where the one before it ends, and
// the track is kept within a few tens of milliseconds of the host's
// timestamps by filling what is missing with silence and leaving out what
// is too much.
//
// - A hole (an outage, a run of lost packets) is filled with silence as far
//   as the video reaches. Audio after a hole waits until the video has
//   reached it, or until kMaxHoldSeconds of audio wait (the video is missing
//   or its clock behind): then the hole is filled as far as the video
//   reaches and the rest stays a gap. Video never waits.
// - A device clock that drifts against the host's, and single lost packets,
//   show in the smoothed error (TrackError): past kCorrectionSeconds (or half
//   a frame) silence is added or audio left out, and transcoded audio is
//   stretched or squeezed softly in between.
// - Audio the host puts before what the track already holds (a clock stepped
//   back) is left out; a clock jump (IsClockJump), or a gap longer than a
//   sample can last, is closed up.
// - At the end, the track is completed with silence up to the video's end.
//
// Used by one thread at a time, like the track it drives.
class AudioPlacement
{
public:
    // `timeBase`: the host's audio time base, in which packets and the track are timed.
    AudioPlacement(AudioTrack& track, AVRational timeBase);

    // The video written for a stretch (timed in `videoTimeBase`), before the
    // audio of the same stretch; audio waiting for it may go to `out`.
    void AddVideo(const PacketSequence& video, AVRational videoTimeBase, PacketSequence& out);
    // One timed audio packet; what becomes of it, and of audio waiting before
    // it, goes to `out` in order.
    void AddAudio(std::unique_ptr<OwnedPacket> packet, PacketSequence& out);
    // The end of the file: places what waits against the video's final
    // extent, completes the track up to the video's end and flushes it.
    void Finish(PacketSequence& out);
    // Packets the track could not use (they did not decode): silence took their place.
    std::int64_t Unusable() const { return m_unusable; }

private:
    void Release(PacketSequence& out);
    bool MustWait(const AVPacket& packet) const;
    void Place(std::unique_ptr<OwnedPacket> packet, PacketSequence& out);
    // Where the track begins for a first packet at `pts`; the ticks closed up.
    std::int64_t Begin(std::int64_t pts, PacketSequence& out);
    // The hole of `ticks` before a packet at `pts`: silence as far as the
    // video reaches, a gap after that; the ticks of the gap that the track
    // could not hold and closed up.
    std::int64_t FillHole(std::int64_t pts, std::int64_t ticks, PacketSequence& out);
    // Silence for a smoothed error above the threshold; the audio to leave
    // out of the next packet for one below it.
    std::int64_t Correct(PacketSequence& out);

    AudioTrack& m_track;
    AVRational m_timeBase;
    TrackError m_error;
    std::deque<std::unique_ptr<OwnedPacket>> m_waiting;
    bool m_started = false;
    bool m_finishing = false;
    std::int64_t m_closedUp = 0;          // ticks of clock jumps taken out of the audio
    bool m_videoStarted = false;
    std::int64_t m_videoStart = 0;        // the first picture, audio ticks
    std::int64_t m_videoEnd = INT64_MIN;  // where the latest picture ends: how far the video reaches
    std::int64_t m_unusable = 0;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
