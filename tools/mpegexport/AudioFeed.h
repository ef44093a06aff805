#pragma once

// The audio side of an export: the source's audio packets as the library
// takes them (AAC in ADTS frames), stamped on the host clock and handed over
// in stretches that match the video batches.

#include "Adts.h"
#include "Source.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <memory>
#include <optional>

namespace mpegexport
{

namespace mpeg = Halvaro::Oru::Shared::Export::Mpeg;

class AudioFeed
{
public:
    // Reads the first packet to settle the framing. Throws
    // std::runtime_error when the audio cannot be handed over as it is.
    AudioFeed(PacketSource& source, const AudioDescription& description, std::uint64_t startTime);

    // The stream record of a file whose pictures begin at `offset`.
    std::unique_ptr<mpeg::StreamParametersAudio> Record(mpeg::CodecIdAudio codec, std::int64_t offset);

    // The packets that begin before `until`; with `whole`, only those that
    // also end by then. Those before the first picture are left out: the
    // library would drop them.
    mpeg::MediaPacketList Take(std::int64_t until, bool whole);

    // What a split at `offset` hands the next file: its first audio packet,
    // or, once the audio has ended, an empty packet at the split carrying the
    // stream's framing.
    mpeg::MediaPacket FirstFrom(std::int64_t offset);

    std::int64_t PacketsRead() const { return m_read; }
    std::int64_t PacketsSent() const { return m_sent; }

private:
    // The next packet, framed; null at the end of the audio.
    const SourcePacket* Peek();
    void Frame(SourcePacket& packet) const;

    PacketSource& m_source;
    const AudioDescription& m_description;
    std::uint64_t m_startTime;
    std::optional<AdtsFramer> m_framer;
    std::optional<SourcePacket> m_next;
    std::vector<std::uint8_t> m_header; // leading bytes of the first packet
    bool m_ended = false;
    std::int64_t m_read = 0;
    std::int64_t m_sent = 0;
};

} // namespace mpegexport
