#pragma once

#include <cstdint>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// How far an audio track runs behind the host's clock, in ticks: positive
// when the host puts the next packet later than where the track ends (a slow
// device clock, lost packets), negative when earlier (a fast device clock).
// Host timestamps carry arrival jitter of tens of milliseconds, so a single
// packet's error says little: it is smoothed over about a second of audio,
// and only a step well beyond jitter (a hole, a clock stepped back) counts at
// once.
class TrackError
{
public:
    explicit TrackError(std::int64_t ticksPerSecond);

    // The part of a packet's `error` that is a step to be corrected at once:
    // its distance from the smoothed error when that exceeds what jitter and
    // drift explain, else 0.
    std::int64_t Step(std::int64_t error) const;
    // Takes the error of a packet lasting `duration` ticks into the estimate.
    void Observe(std::int64_t error, std::int64_t duration);
    // The smoothed error, rounded to ticks.
    std::int64_t Value() const;
    // The track was moved by `ticks` (silence added: positive; audio left
    // out: negative), which every later error shows.
    void Moved(std::int64_t ticks);

private:
    std::int64_t m_ticksPerSecond;
    double m_smoothed = 0;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
