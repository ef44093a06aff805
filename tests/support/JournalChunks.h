#pragma once

// Journal chunks written field by field, as JournalWriter writes them: for the
// reader's own checks, and for the recovery harness's hostile journals.

#include "support/TestMedia.h"

#include <mpegexporter/Journal.h>

namespace TestMedia
{
namespace Journal = Mpeg::Journal;

// A header chunk for `c`'s identity, container and streams, with `more` after them.
inline Bytes HeaderChunk(const Journal::Contents& c, std::uint32_t version = Journal::kVersion, const Bytes& more = {})
{
    Bytes out;
    const std::size_t at = Journal::OpenChunk(out, Journal::kChunkHeader);
    for (const std::uint32_t v : {Journal::kMagic, version})
        Journal::PutU32(out, v);
    Journal::PutU64(out, c.file.inode);
    Journal::PutU64(out, static_cast<std::uint64_t>(c.file.birthSeconds));
    Journal::PutU32(out, c.file.birthNanoseconds);
    Journal::PutString(out, c.container);
    Journal::PutU32(out, static_cast<std::uint32_t>(c.streams.size()));
    for (const Journal::StreamEntry& s : c.streams)
    {
        Journal::PutString(out, s.codec);
        Journal::PutU32(out, s.mediaType);
        for (const std::int32_t v : {s.timeBaseNum, s.timeBaseDen, s.width, s.height, s.sampleRate, s.channels,
                                     s.frameSize, s.initialPadding, s.blockAlign, s.bitsPerCodedSample})
            Journal::PutU32(out, static_cast<std::uint32_t>(v));
        Journal::PutU32(out, s.codecTag);
        Journal::PutU64(out, static_cast<std::uint64_t>(s.bitRate));
        Journal::PutU32(out, static_cast<std::uint32_t>(s.extradata.size()));
        out.insert(out.end(), s.extradata.begin(), s.extradata.end());
    }
    out.insert(out.end(), more.begin(), more.end());
    Journal::CloseChunk(out, at, Crc32);
    return out;
}

// A packets chunk; `previous` holds each stream's previous pts across chunks.
inline Bytes PacketsChunk(std::int64_t mediaSize, const std::vector<Journal::PacketEntry>& entries,
                          std::vector<std::int64_t>& previous, std::uint32_t kind = Journal::kChunkPackets)
{
    Bytes out;
    Journal::OpenChunk(out, kind);
    Journal::PutU64(out, static_cast<std::uint64_t>(mediaSize));
    for (const Journal::PacketEntry& e : entries)
        Journal::PutEntry(out, e, previous[e.stream]);
    Journal::CloseChunk(out, 0, Crc32);
    return out;
}

} // namespace TestMedia
