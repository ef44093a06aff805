#pragma once

#include "av/AvHandles.h"
#include "av/OwnedPacket.h"

#include <memory>
#include <string>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// One libavcodec bitstream filter. The audio processor uses "aac_adtstoasc" to
// turn ADTS-framed AAC into the raw frames MP4 and MOV store.
class BitstreamFilter
{
public:
    BitstreamFilter(const std::string& name, const AVCodecParameters& parameters);

    // Sends the packet through the filter and returns what comes out: with
    // "aac_adtstoasc" the packet without its header, or nothing when the header
    // cannot be parsed (the packet is dropped without an error). Timestamps and
    // stream index are kept.
    PacketSequence Filter(std::unique_ptr<OwnedPacket> packet);

private:
    AvBsfContextPtr m_context;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
