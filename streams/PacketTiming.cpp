#include "streams/PacketTiming.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

std::uint64_t ElapsedTicks(std::uint64_t timestamp, std::uint64_t startTime, std::int32_t timeScale)
{
    // Unsigned on purpose: the conversion wraps exactly as the host clock does.
    return (static_cast<std::uint64_t>(timeScale) * (timestamp - startTime) + 5000000u) / 10000000u;
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
