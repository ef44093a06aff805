#include "streams/PacketTiming.h"

#include <algorithm>
#include <climits>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

namespace
{
constexpr std::int64_t kHostTicksPerSecond = 10'000'000;
}

std::optional<std::int64_t> Elapsed(std::uint64_t timestamp, std::uint64_t startTime)
{
    const std::uint64_t elapsed = timestamp - startTime;
    if (elapsed > static_cast<std::uint64_t>(INT64_MAX))
        return std::nullopt;
    return static_cast<std::int64_t>(elapsed);
}

std::int64_t ElapsedTicks(std::int64_t elapsed, std::int32_t timeScale)
{
    // Halves away from zero: up, for times that are never negative. The
    // product alone would overflow 64 bits after 430 s at a time scale of 2^31.
    const std::int64_t ticks = av_rescale_rnd(elapsed, timeScale, kHostTicksPerSecond, AV_ROUND_NEAR_INF);
    // Beyond any real clock (av_rescale_rnd answers INT64_MIN): far enough
    // to be a clock jump, with room left for an offset.
    return ticks < 0 ? INT64_MAX / 2 : std::min(ticks, INT64_MAX / 2);
}

std::int64_t MinimumDuration(std::int32_t timeScale)
{
    return std::max<std::int64_t>(1, (static_cast<std::int64_t>(timeScale) + 999) / 1000);
}

void RescaleToOutput(OwnedPacket& packet, const Stream& input, const Stream& output)
{
    const AVRational from = input.GetAvStream()->time_base;
    const AVRational to = output.GetAvStream()->time_base;
    AVPacket& p = packet.packet;
    if (from.den != to.den)
    {
        const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
        p.pts = av_rescale_q_rnd(p.pts, from, to, rounding);
        p.dts = av_rescale_q_rnd(p.dts, from, to, rounding);
        p.duration = av_rescale_q(p.duration, from, to);
    }
    p.pos = -1;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
