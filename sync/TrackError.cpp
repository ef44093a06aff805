#include "sync/TrackError.h"

#include <algorithm>
#include <cmath>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
// The smoothing's time constant: jitter of +/-30 ms moves the estimate by
// about 2 ms, while a drift of 1000 ppm is followed within 1 ms.
constexpr double kSmoothingSeconds = 1.0;
// A step beyond this is a hole (an outage, packets lost in a run) or a clock
// stepped back, not jitter: five times the arrival jitter hosts show.
constexpr double kStepSeconds = 0.2;
} // namespace

TrackError::TrackError(std::int64_t ticksPerSecond) : m_ticksPerSecond(std::max<std::int64_t>(ticksPerSecond, 1))
{
}

std::int64_t TrackError::Step(std::int64_t error) const
{
    const double step = static_cast<double>(error) - m_smoothed;
    return std::abs(step) > kStepSeconds * static_cast<double>(m_ticksPerSecond) ? static_cast<std::int64_t>(step) : 0;
}

void TrackError::Observe(std::int64_t error, std::int64_t duration)
{
    const double weight =
        std::min(1.0, static_cast<double>(std::max<std::int64_t>(duration, 1)) /
                          (kSmoothingSeconds * static_cast<double>(m_ticksPerSecond)));
    m_smoothed += (static_cast<double>(error) - m_smoothed) * weight;
}

std::int64_t TrackError::Value() const
{
    return std::llround(m_smoothed);
}

void TrackError::Moved(std::int64_t ticks)
{
    m_smoothed -= static_cast<double>(ticks);
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
