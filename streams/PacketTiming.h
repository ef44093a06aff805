#pragma once

#include "av/OwnedPacket.h"
#include "streams/Stream.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>
#include <optional>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Host time since `startTime` in 100-ns units, or nothing for a packet before
// it. The host clock is read modulo 2^64, so a clock that wraps past 2^64 goes
// on counting: a packet up to 2^63 units (29,000 years) after the start is
// after it.
std::optional<std::int64_t> Elapsed(std::uint64_t timestamp, std::uint64_t startTime);

// Host time `elapsed` (100-ns units, not negative) in ticks of 1/timeScale,
// halves rounded up, without overflow at any time scale.
std::int64_t ElapsedTicks(std::int64_t elapsed, std::int32_t timeScale);

// The presentation time for a packet the host clock puts at `candidate`:
// times only ever increase, so one at or before `lastPts` goes one tick after
// it. Before the first packet `lastPts` is -1: times start at 0.
inline std::int64_t NextPts(std::int64_t candidate, std::int64_t lastPts)
{
    return candidate > lastPts ? candidate : lastPts + 1;
}

// Packets would otherwise have no duration, and the muxer ends the track's
// edit at the last packet's start plus its duration, measured in whole
// milliseconds: anything shorter than a millisecond would hide the last
// packet from players. In ticks of 1/timeScale; one tick at frame rates.
std::int64_t MinimumDuration(std::int32_t timeScale);

// Converts a packet's timestamps from the input stream's time base to the
// output stream's (read now: the muxer may have changed it) and clears its
// byte position.
void RescaleToOutput(OwnedPacket& packet, const Stream& input, const Stream& output);

// All packets `processor.ProcessPacket` makes of the batch, in order; it
// takes each record.
template <typename Processor>
PacketSequence ProcessBatch(Processor& processor, MediaPacketList& packets)
{
    PacketSequence result;
    for (auto& packet : packets)
        for (auto& produced : processor.ProcessPacket(std::move(packet)))
            result.push_back(std::move(produced));
    return result;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
