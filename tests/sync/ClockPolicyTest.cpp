// Where a pause ends and a clock jump begins, and how fine a track's clock may be.

#include "sync/ClockPolicy.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

namespace
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;
} // namespace

TEST(ClockPolicy, AJumpIsMoreThanADayOnAnyClock)
{
    const std::tuple<std::int64_t, AVRational, bool> cases[] = { // step, time base, a jump
        {0, {1, 1000}, false},
        {86'400'000, {1, 1000}, false},
        {86'400'001, {1, 1000}, true},
        {7'776'000'000, {1, 90000}, false},
        {7'776'000'001, {1, 90000}, true},
        {86'400LL * INT_MAX, {1, INT_MAX}, false},
        {86'400LL * INT_MAX + 1, {1, INT_MAX}, true},
        // 29.97 pictures a second: a day is 2589410.6 ticks.
        {2'589'410, {1001, 30000}, false},
        {2'589'412, {1001, 30000}, true},
    };
    for (const auto& [step, timeBase, jump] : cases)
        EXPECT_EQ(Mpeg::IsClockJump(step, timeBase), jump) << step << " of " << timeBase.num << "/" << timeBase.den;
}

// A day between two pictures must fit one sample's duration (INT_MAX ticks).
TEST(ClockPolicy, TrackClocksHoldADayInOneSample)
{
    EXPECT_LE(std::int64_t{Mpeg::kMaxTrackTimeScale} * 86400, INT_MAX);
    EXPECT_GT((std::int64_t{Mpeg::kMaxTrackTimeScale} + 1) * 86400, INT_MAX);
    constexpr std::int32_t kMax = Mpeg::kMaxTrackTimeScale;
    // host time scale, track time scale: the host's, or the largest host / n no finer than kMax
    const std::int32_t cases[][2] = {{1, 1},           {25, 25},          {90000, 22500},    {kMax, kMax},
                                     {kMax + 1, 12428}, {1'000'000, 24390}, {INT_MAX, 24854}};
    for (const auto& [host, track] : cases)
        EXPECT_EQ(Mpeg::TrackTimeScale(host), track) << host;
}
