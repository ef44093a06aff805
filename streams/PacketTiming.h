#pragma once

#include "container/OwnedPacket.h"
#include "streams/Stream.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Host time since `startTime` in ticks of 1/timeScale, halves rounded up.
std::uint64_t ElapsedTicks(std::uint64_t timestamp, std::uint64_t startTime, std::int32_t timeScale);

// The presentation time for a packet the host clock puts at `candidate`:
// times only ever increase, so one at or before `lastPts` goes one tick after it.
inline std::int64_t NextPts(std::int64_t candidate, std::int64_t lastPts)
{
    return candidate > lastPts ? candidate : lastPts + 1;
}

// Packets would otherwise have no duration, and the muxer ends the track's
// edit at the last packet's start plus its duration, measured in whole
// milliseconds: anything shorter than a millisecond would hide the last
// packet from players. One tick at frame-rate time scales.
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
