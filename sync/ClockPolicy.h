#pragma once

// How the library reads the host's clock: where a pause ends and a wrong
// clock begins, and how fine a track's clock may be.

#include <climits>
#include <cstdint>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Two consecutive packets of one stream further apart than this are the host's
// clock jumping (a wrong or wrapped clock jumps by years), not a pause in the
// recording. The stream is closed up there, as if no time had passed, and
// silence never fills across it: the fill would take as long to write as the
// span is long.
constexpr std::int64_t kClockJumpSeconds = 24 * 3600;

// True when `step` (in `timeBase`) between two consecutive packets is a clock jump.
inline bool IsClockJump(std::int64_t step, AVRational timeBase)
{
    return step > av_rescale_q(kClockJumpSeconds, AVRational{1, 1}, timeBase);
}

// MP4 and MOV hold a sample's duration in 32 bits, and libavformat refuses one
// above INT_MAX ticks of the track's clock: beyond it the timeline breaks
// (times fall back, every later sample lasts one tick).
constexpr std::int64_t kLongestSample = INT_MAX;

// The finest clock a video track may have: a day between two pictures fits
// one sample's duration (24855 ticks a second).
constexpr std::int32_t kMaxTrackTimeScale = static_cast<std::int32_t>(kLongestSample / kClockJumpSeconds);

// The clock of a video track whose host time scale is `timeScale`: the same,
// or the largest whole fraction of it that is no finer than the above.
inline std::int32_t TrackTimeScale(std::int32_t timeScale)
{
    if (timeScale <= kMaxTrackTimeScale)
        return timeScale;
    const std::int64_t divisor = (std::int64_t{timeScale} + kMaxTrackTimeScale - 1) / kMaxTrackTimeScale;
    return static_cast<std::int32_t>(timeScale / divisor);
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
