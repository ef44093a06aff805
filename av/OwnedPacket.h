#pragma once

#include "av/AvCompat.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

extern "C" {
#include <libavcodec/packet.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// An FFmpeg packet that owns its payload. Payloads are ref-counted buffers, so
// the muxer takes the reference instead of copying the bytes again. Copies
// carry FFmpeg's input padding, so decoders may read past the end safely;
// adopted host payloads do not, and go only to the muxer.
struct OwnedPacket
{
    AVPacket packet;

    OwnedPacket() noexcept { InitPacket(packet); }
    ~OwnedPacket() { av_packet_unref(&packet); }
    OwnedPacket(const OwnedPacket&) = delete;
    OwnedPacket& operator=(const OwnedPacket&) = delete;

    // A packet holding a copy of `size` bytes at `data`, timestamps unset.
    static std::unique_ptr<OwnedPacket> CopyOf(const std::uint8_t* data, std::size_t size);
    // The host's payload itself, without a copy and without padding: the
    // packet keeps the host's record until FFmpeg releases the payload.
    static std::unique_ptr<OwnedPacket> Adopt(std::unique_ptr<MediaPacket> host);
    // A new reference to `source`'s payload, with its properties.
    static std::unique_ptr<OwnedPacket> RefOf(const AVPacket& source);
};

using PacketSequence = std::deque<std::unique_ptr<OwnedPacket>>;

} // namespace Halvaro::Oru::Shared::Export::Mpeg
