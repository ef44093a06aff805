// The host clock as ticks of a stream's clock, at its edges: halves, the
// 2^64 wrap, time scales up to 2^31 - 1 over years, and beyond any real clock.

#include "streams/PacketTiming.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

namespace
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;
constexpr std::uint64_t kSecond = 10'000'000; // host clock: 100-ns units
constexpr std::uint64_t k2To63 = std::uint64_t{1} << 63;
} // namespace

TEST(PacketTiming, ElapsedCountsOnAcrossTheWrapOfTheHostClock)
{
    const std::tuple<const char*, std::uint64_t, std::uint64_t, std::optional<std::int64_t>> cases[] = {
        {"at the start", 1000, 1000, 0},
        {"a second after", 1000 + kSecond, 1000, kSecond},
        {"a unit before", 999, 1000, std::nullopt},
        {"across the wrap", 5, UINT64_MAX - 4, 10},
        {"just before, across the wrap", UINT64_MAX, 0, std::nullopt},
        {"2^63 - 1 after", k2To63 + 99, 100, INT64_MAX},
        {"2^63 - 1 after, across the wrap", 99, k2To63 + 100, INT64_MAX},
        {"2^63 after is before", k2To63 + 100, 100, std::nullopt},
    };
    for (const auto& [what, timestamp, start, expected] : cases)
        EXPECT_EQ(Mpeg::Elapsed(timestamp, start), expected) << what;
}

TEST(PacketTiming, ElapsedTicksRoundHalvesUpWithoutOverflow)
{
    const std::tuple<const char*, std::int64_t, std::int32_t, std::int64_t> cases[] = { // elapsed, time scale, ticks
        {"a second at 25", kSecond, 25, 25},
        {"half a tick at 25", 200'000, 25, 1},
        {"just under half a tick at 25", 199'999, 25, 0},
        {"one and a half ticks at 1", 15'000'000, 1, 2},
        {"just under at 1", 14'999'999, 1, 1},
        {"ten hours at 90 kHz", 36'000 * kSecond, 90000, 3'240'000'000},
        // The product of time and scale needs more than 64 bits from 430 s on.
        {"500.5 s at 2^31 - 1 (a half)", 5'005'000'000, INT_MAX, 1'074'815'565'324},
        {"ten years and half a second at 2^31 - 1", 3'153'600'005'000'000, INT_MAX, 677'230'443'991'661'824},
        {"2^63 - 1 at 1", INT64_MAX, 1, 922'337'203'685},
    };
    for (const auto& [what, elapsed, timeScale, expected] : cases)
        EXPECT_EQ(Mpeg::ElapsedTicks(elapsed, timeScale), expected) << what;

    // Beyond any real clock the answer saturates: still more than a day of
    // ticks (a clock jump), with room left to add a timestamp offset.
    const std::pair<std::int64_t, std::int32_t> beyond[] = {
        {INT64_MAX, INT_MAX}, {INT64_MAX, 10'000'000}, {3'153'600'000 * kSecond, INT_MAX}};
    for (const auto& [elapsed, timeScale] : beyond)
    {
        const std::int64_t ticks = Mpeg::ElapsedTicks(elapsed, timeScale);
        EXPECT_GT(ticks, std::int64_t{86400} * timeScale) << elapsed << " at " << timeScale;
        EXPECT_LE(ticks, INT64_MAX - INT_MAX) << elapsed << " at " << timeScale;
    }
}

TEST(PacketTiming, NextPtsOnlyIncreasesFromZero)
{
    // candidate, last pts, expected
    const std::int64_t cases[][3] = {{0, -1, 0}, {-50, -1, 0}, {40, 0, 40}, {40, 40, 41}, {10, 40, 41}};
    for (const auto& [candidate, last, expected] : cases)
        EXPECT_EQ(Mpeg::NextPts(candidate, last), expected) << candidate << " after " << last;
}

TEST(PacketTiming, MinimumDurationIsAtLeastAMillisecondInWholeTicks)
{
    // time scale, ticks
    const std::int64_t cases[][2] = {{1, 1}, {25, 1}, {1000, 1}, {1001, 2}, {90000, 90}, {INT_MAX, 2'147'484}};
    for (const auto& [timeScale, expected] : cases)
        EXPECT_EQ(Mpeg::MinimumDuration(static_cast<std::int32_t>(timeScale)), expected) << timeScale;
}
