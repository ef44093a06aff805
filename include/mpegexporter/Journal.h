#pragma once

// The recovery journal written beside every file being exported, and
// everything a host needs to read it.
//
// The MP4/MOV muxer writes the index (`moov`) only when the file is finished,
// so a killed process or a power cut leaves media data that no player can
// find. The journal lists the packets in the order they went to the muxer;
// walking the file's `mdat` and matching each payload against the next pending
// packet of each stream (size and checksum) finds them again, however the
// muxer interleaved the streams. A finished file's journal is deleted.
//
// Name: `NAME.journal` beside `NAME`; where that would be longer than a file
// name may be (NAME_MAX, 255 bytes), NAME is cut to fit, at a UTF-8 character
// boundary, and followed by `~` and eight hex digits of a hash of the whole
// name (PathFor below).
//
// Layout, all integers little-endian. The file is a sequence of chunks:
//   u32 kind, u32 body size, body, u32 CRC
// where the CRC is zlib's crc32 (CRC-32/ISO-HDLC, seed 0) over kind, size and
// body. A reader stops at the first chunk that is cut short or whose CRC or
// layout is wrong: everything before it is valid.
//   kind 1, header (first chunk, once): u32 kMagic, u32 kVersion,
//     the media file's identity (see FileIdentity): u64 inode, i64 birth
//     time seconds, u32 birth time nanoseconds;
//     string container (libavformat short name: mp4 or mov), u32 stream
//     count (1 to 16), then per stream (in the muxer's stream order):
//       string codec (avcodec_get_name), u32 media type (0 video, 1 audio),
//       i32 time base num, den (the muxer's, fixed by the header),
//       i32 width, height, sample rate, channels, frame size, initial padding,
//       block align, bits per coded sample, u32 codec tag, i64 bit rate,
//       u32 extradata size, extradata bytes;
//     a string is u32 size then bytes. Values out of the ranges ParseHeader
//     checks make the header invalid.
//   kind 2, packets: i64 media file size when the chunk was written if the
//     file was made durable then (fdatasync of file, then of this chunk),
//     else -1; then one entry per packet, in muxing order:
//       u8 stream (bits 0-3), key flag (bit 4) and start codes flag (bit 5,
//       see below), varint size in the file, u32 checksum (PayloadChecksum of
//       the bytes in the file), svarint pts minus the stream's previous pts
//       (0 before its first), svarint pts minus dts, svarint duration;
//     varint: LEB128 (7 bits a byte, low first, top bit: more follow);
//     svarint: a varint of the zigzag form ((v << 1) ^ (v >> 63)). Timestamps
//     are in the stream's time base, as the muxer got them: a finished file
//     gives the packet these timestamps. About 13 bytes a packet.
//
// Start codes: H.264/H.265 handed over with start codes are stored by the
// muxer as 4-byte big-endian length-prefixed units (AnnexBToLengthPrefixed
// below does the same) where the stream's configuration has start codes: its
// extradata, or without extradata its first packet (IsAnnexB). Such entries
// carry the start codes flag; their size and checksum are those of the stored
// form, and a reader that remuxes the packet hands it back with 4-byte start
// codes (LengthPrefixedToAnnexB).
//
// Version 1 journals (no identity, an Annex B byte per stream) are not read.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace Halvaro::Oru::Shared::Export::Mpeg::Journal
{

constexpr std::uint32_t kMagic = 0x4a58504d; // "MPXJ"
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kChunkHeader = 1;
constexpr std::uint32_t kChunkPackets = 2;

// Journal file name for a media file name (see the top of this file): the
// library and recovery both take it from here.
inline std::string PathFor(const std::string& mediaPath)
{
    static constexpr char kSuffix[] = ".journal";
    constexpr std::size_t kSuffixSize = sizeof kSuffix - 1;
    const std::size_t slash = mediaPath.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (mediaPath.size() - nameStart + kSuffixSize <= NAME_MAX)
        return mediaPath + kSuffix;
    // FNV-1a, 32 bits, over the whole name.
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = nameStart; i < mediaPath.size(); ++i)
        hash = (hash ^ static_cast<unsigned char>(mediaPath[i])) * 16777619u;
    char tag[10];
    std::snprintf(tag, sizeof tag, "~%08x", static_cast<unsigned>(hash));
    std::size_t keep = NAME_MAX - kSuffixSize - (sizeof tag - 1);
    while (keep > 0 && (static_cast<unsigned char>(mediaPath[nameStart + keep]) & 0xc0) == 0x80)
        --keep;
    return mediaPath.substr(0, nameStart + keep) + tag + kSuffix;
}

// What tells the media file from any other, even one with the same content:
// its inode number and birth time (zero where the file system keeps none).
// Both survive a kill, a power cut once the file's first sync is done, and a
// rename; a copy is another file, and so is a file made anew under the name.
// Not the device number, which may change from one mount to the next.
struct FileIdentity
{
    std::uint64_t inode = 0;
    std::int64_t birthSeconds = 0;
    std::uint32_t birthNanoseconds = 0;
};

// The identity of the open file `fd`; false when it cannot be had.
inline bool IdentityOf(int fd, FileIdentity& identity)
{
    struct statx facts{};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &facts) != 0)
        return false;
    identity = FileIdentity{facts.stx_ino, 0, 0};
    if (facts.stx_mask & STATX_BTIME)
        identity.birthSeconds = facts.stx_btime.tv_sec, identity.birthNanoseconds = facts.stx_btime.tv_nsec;
    return true;
}

// Whether a journal's recorded identity is the file's; a birth time unknown
// on either side is not compared.
inline bool IsSameFile(const FileIdentity& recorded, const FileIdentity& file)
{
    const auto known = [](const FileIdentity& i) { return i.birthSeconds != 0 || i.birthNanoseconds != 0; };
    return recorded.inode == file.inode &&
           (!known(recorded) || !known(file) ||
            (recorded.birthSeconds == file.birthSeconds && recorded.birthNanoseconds == file.birthNanoseconds));
}

// The containers the library writes, the only ones a journal may name.
inline bool IsWrittenContainer(const std::string& name) { return name == "mp4" || name == "mov"; }

// zlib's crc32(crc, data, size).
using Crc32 = std::uint32_t (*)(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// The payload checksum covers the first and last kChecksumSpan bytes (all of
// a shorter payload): checksumming every byte would double the cost of the
// copy path, while size, both ends and the order of packets already tell a
// payload from its neighbours.
constexpr std::size_t kChecksumSpan = 64;
inline std::uint32_t PayloadChecksum(Crc32 crc, const std::uint8_t* data, std::size_t size)
{
    if (size <= 2 * kChecksumSpan)
        return crc(0, data, size);
    // Both ends in one call: the same CRC as two chained calls, at half the
    // cost, as zlib's crc32 takes as long for 64 bytes as for 128.
    std::uint8_t ends[2 * kChecksumSpan];
    std::memcpy(ends, data, kChecksumSpan);
    std::memcpy(ends + kChecksumSpan, data + size - kChecksumSpan, kChecksumSpan);
    return crc(0, ends, sizeof ends);
}

// --- Annex B and the muxer's rewrite of it ----------------------------------

// Whether the muxer rewrites a stream's packets, given the stream's
// configuration: H.264 whose configuration is not an avcC record, H.265 whose
// configuration starts with a start code.
inline bool IsAnnexB(const std::string& codec, const std::uint8_t* configuration, std::size_t size)
{
    if (codec == "h264")
        return size > 0 && configuration[0] != 1;
    if (codec == "hevc")
        return size > 6 &&
               ((configuration[0] == 0 && configuration[1] == 0 && configuration[2] == 1) ||
                (configuration[0] == 0 && configuration[1] == 0 && configuration[2] == 0 && configuration[3] == 1));
    return false;
}

// The configuration is the extradata; without extradata the muxer takes an
// H.264 or H.265 stream's first non-empty packet as it.
inline bool ConfiguredByFirstPacket(const std::string& codec, std::size_t extradataSize)
{
    return extradataSize == 0 && (codec == "h264" || codec == "hevc");
}

// The first 00 00 01 at or after p (one zero before it included), else end.
inline const std::uint8_t* FindStartCode(const std::uint8_t* p, const std::uint8_t* end)
{
    const std::uint8_t* start = p;
    for (; p + 2 < end; ++p)
        if (p[0] == 0 && p[1] == 0 && p[2] == 1)
        {
            if (p > start && p[-1] == 0)
                --p;
            return p;
        }
    return end;
}

// The stored form of an Annex B payload: each unit between start codes
// (leading zeros dropped) as a 4-byte big-endian size and its bytes.
inline void AnnexBToLengthPrefixed(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out)
{
    out.clear();
    const std::uint8_t* end = data + size;
    const std::uint8_t* unit = FindStartCode(data, end);
    for (;;)
    {
        while (unit < end && !*(unit++))
        {
        }
        if (unit == end)
            break;
        const std::uint8_t* unitEnd = FindStartCode(unit, end);
        const auto length = static_cast<std::uint32_t>(unitEnd - unit);
        const std::uint8_t prefix[4] = {std::uint8_t(length >> 24), std::uint8_t(length >> 16),
                                        std::uint8_t(length >> 8), std::uint8_t(length)};
        out.insert(out.end(), prefix, prefix + 4);
        out.insert(out.end(), unit, unitEnd);
        unit = unitEnd;
    }
}

// Back to start codes; false when the units do not fill the payload exactly.
inline bool LengthPrefixedToAnnexB(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out)
{
    out.clear();
    std::size_t at = 0;
    while (at < size)
    {
        if (size - at < 4)
            return false;
        const std::size_t length = (std::size_t(data[at]) << 24) | (std::size_t(data[at + 1]) << 16) |
                                   (std::size_t(data[at + 2]) << 8) | data[at + 3];
        at += 4;
        // An empty unit is what two adjacent start codes are stored as.
        if (length > size - at)
            return false;
        const std::uint8_t startCode[4] = {0, 0, 0, 1};
        out.insert(out.end(), startCode, startCode + 4);
        out.insert(out.end(), data + at, data + at + length);
        at += length;
    }
    return true;
}

// --- Writing -----------------------------------------------------------------

// Fixed-size fields are little-endian.
template <typename T>
void PutLittleEndian(std::vector<std::uint8_t>& out, T v)
{
    for (unsigned i = 0; i < sizeof(T); ++i)
        out.push_back(std::uint8_t(v >> (8 * i)));
}
// Overwrites the field written earlier at `at`.
template <typename T>
void SetLittleEndian(std::vector<std::uint8_t>& out, std::size_t at, T v)
{
    for (unsigned i = 0; i < sizeof(T); ++i)
        out[at + i] = std::uint8_t(v >> (8 * i));
}
inline void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) { PutLittleEndian(out, v); }
inline void PutU64(std::vector<std::uint8_t>& out, std::uint64_t v) { PutLittleEndian(out, v); }
inline void PutString(std::vector<std::uint8_t>& out, const std::string& s)
{
    PutU32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

// Opens a chunk in `out`; CloseChunk fills in its size and appends its CRC.
inline std::size_t OpenChunk(std::vector<std::uint8_t>& out, std::uint32_t kind)
{
    const std::size_t at = out.size();
    PutU32(out, kind);
    PutU32(out, 0);
    return at;
}
inline void CloseChunk(std::vector<std::uint8_t>& out, std::size_t at, Crc32 crc)
{
    SetLittleEndian(out, at + 4, static_cast<std::uint32_t>(out.size() - at - 8));
    PutU32(out, crc(0, out.data() + at, out.size() - at));
}

constexpr std::uint32_t kKey = 1;
constexpr std::uint32_t kStartCodes = 2; // stored as length-prefixed units, handed over with start codes

struct PacketEntry
{
    std::uint32_t stream = 0;
    std::uint32_t flags = 0; // kKey, kStartCodes
    std::uint32_t size = 0;
    std::uint32_t checksum = 0;
    std::int64_t pts = 0;
    std::int64_t dts = 0;
    std::int64_t duration = 0;
};

inline void PutVarint(std::vector<std::uint8_t>& out, std::uint64_t v)
{
    while (v >= 0x80)
    {
        out.push_back(std::uint8_t(v | 0x80));
        v >>= 7;
    }
    out.push_back(std::uint8_t(v));
}
inline void PutSvarint(std::vector<std::uint8_t>& out, std::uint64_t twosComplement)
{
    const std::uint64_t sign = (twosComplement >> 63) ? ~std::uint64_t{0} : 0;
    PutVarint(out, (twosComplement << 1) ^ sign);
}

// Appends an entry; `previousPts` is the stream's previous pts (0 before its
// first) and becomes this one's.
inline void PutEntry(std::vector<std::uint8_t>& out, const PacketEntry& e, std::int64_t& previousPts)
{
    out.push_back(std::uint8_t((e.stream & 0x0f) | ((e.flags & (kKey | kStartCodes)) << 4)));
    PutVarint(out, e.size);
    PutU32(out, e.checksum);
    // Differences wrap in unsigned arithmetic: a missing timestamp is INT64_MIN.
    PutSvarint(out, static_cast<std::uint64_t>(e.pts) - static_cast<std::uint64_t>(previousPts));
    PutSvarint(out, static_cast<std::uint64_t>(e.pts) - static_cast<std::uint64_t>(e.dts));
    PutSvarint(out, static_cast<std::uint64_t>(e.duration));
    previousPts = e.pts;
}

// --- Reading -----------------------------------------------------------------

struct StreamEntry
{
    std::string codec;
    std::uint32_t mediaType = 0;
    std::int32_t timeBaseNum = 0, timeBaseDen = 0;
    std::int32_t width = 0, height = 0, sampleRate = 0, channels = 0, frameSize = 0, initialPadding = 0;
    std::int32_t blockAlign = 0, bitsPerCodedSample = 0;
    std::uint32_t codecTag = 0;
    std::int64_t bitRate = 0;
    std::vector<std::uint8_t> extradata;
};

struct SyncPoint
{
    std::int64_t mediaSize = 0;   // the media file's durable size
    std::uint64_t journalSize = 0; // the journal's size up to this chunk's end
    std::size_t packets = 0;       // entries before it
};

struct Contents
{
    bool valid = false; // a whole header chunk was read
    FileIdentity file;
    std::string container;
    std::vector<StreamEntry> streams;
    std::vector<PacketEntry> packets;
    std::vector<SyncPoint> syncs;
    std::uint64_t validSize = 0; // bytes up to the end of the last valid chunk
    std::vector<std::int64_t> previousPts; // per stream, while parsing
};

class Reader
{
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_p(data), m_end(data + size) {}
    bool Have(std::size_t n) const { return std::size_t(m_end - m_p) >= n; }
    // The caller checks Have first.
    template <typename T>
    T LittleEndian()
    {
        T v = 0;
        for (unsigned i = 0; i < sizeof(T); ++i)
            v = T(v | T(T(m_p[i]) << (8 * i)));
        m_p += sizeof(T);
        return v;
    }
    std::uint32_t U32() { return LittleEndian<std::uint32_t>(); }
    std::uint64_t U64() { return LittleEndian<std::uint64_t>(); }
    bool Bytes(std::size_t n, const std::uint8_t*& at)
    {
        if (!Have(n))
            return false;
        at = m_p;
        m_p += n;
        return true;
    }
    bool String(std::string& s)
    {
        if (!Have(4))
            return false;
        const std::size_t n = U32();
        const std::uint8_t* at = nullptr;
        if (n > 256 || !Bytes(n, at))
            return false;
        s.assign(reinterpret_cast<const char*>(at), n);
        return true;
    }
    bool Varint(std::uint64_t& v)
    {
        v = 0;
        for (unsigned shift = 0; shift < 64; shift += 7)
        {
            if (!Have(1))
                return false;
            const std::uint8_t byte = *m_p++;
            v |= std::uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return true;
        }
        return false;
    }
    bool Svarint(std::uint64_t& v)
    {
        if (!Varint(v))
            return false;
        v = (v >> 1) ^ ((v & 1) ? ~std::uint64_t{0} : 0);
        return true;
    }
    bool Done() const { return m_p == m_end; }

private:
    const std::uint8_t* m_p;
    const std::uint8_t* m_end;
};

inline bool ParseHeader(Reader r, Contents& c)
{
    if (!r.Have(8 + 8 + 8 + 4) || r.U32() != kMagic || r.U32() != kVersion)
        return false;
    c.file.inode = r.U64();
    c.file.birthSeconds = static_cast<std::int64_t>(r.U64());
    c.file.birthNanoseconds = r.U32();
    if (!r.String(c.container) || !IsWrittenContainer(c.container) || !r.Have(4))
        return false;
    const std::uint32_t count = r.U32();
    if (count == 0 || count > 16)
        return false;
    for (std::uint32_t i = 0; i < count; ++i)
    {
        StreamEntry s;
        if (!r.String(s.codec) || s.codec.empty() || !r.Have(4 * 12 + 8 + 4))
            return false;
        s.mediaType = r.U32();
        std::int32_t* fields[] = {&s.timeBaseNum, &s.timeBaseDen, &s.width,          &s.height,
                                  &s.sampleRate,  &s.channels,    &s.frameSize,      &s.initialPadding,
                                  &s.blockAlign,  &s.bitsPerCodedSample};
        for (std::int32_t* f : fields)
            *f = static_cast<std::int32_t>(r.U32());
        s.codecTag = r.U32();
        s.bitRate = static_cast<std::int64_t>(r.U64());
        const std::size_t extraSize = r.U32();
        const std::uint8_t* extra = nullptr;
        if (extraSize > (1u << 20) || !r.Bytes(extraSize, extra))
            return false;
        s.extradata.assign(extra, extra + extraSize);
        // Where the library's streams have them: a muxer handed more is not
        // to be trusted with them.
        const bool audio = s.mediaType == 1;
        if (s.mediaType > 1 || s.timeBaseNum <= 0 || s.timeBaseDen <= 0 || s.width < 0 || s.width > 65535 ||
            s.height < 0 || s.height > 65535 || (audio ? s.sampleRate <= 0 : s.sampleRate != 0) ||
            s.sampleRate > 1000000 || s.channels < 0 || s.channels > 64 || s.frameSize < 0 ||
            s.frameSize > (1 << 20) || s.initialPadding < 0 || s.initialPadding > (1 << 20) || s.blockAlign < 0 ||
            s.blockAlign > (1 << 20) || s.bitsPerCodedSample < 0 || s.bitsPerCodedSample > 64 || s.bitRate < 0)
            return false;
        c.streams.push_back(std::move(s));
    }
    return r.Done();
}

// Reads a journal up to its last whole valid chunk.
inline Contents Parse(const std::uint8_t* data, std::size_t size, Crc32 crc)
{
    Contents c;
    std::size_t at = 0;
    while (size - at >= 12)
    {
        Reader head(data + at, 8);
        const std::uint32_t kind = head.U32();
        const std::uint32_t bodySize = head.U32();
        if (bodySize > size - at - 12)
            break;
        Reader tail(data + at + 8 + bodySize, 4);
        if (tail.U32() != crc(0, data + at, 8 + bodySize))
            break;
        Reader body(data + at + 8, bodySize);
        if (!c.valid)
        {
            if (kind != kChunkHeader || !ParseHeader(body, c))
                break;
            c.valid = true;
            c.previousPts.assign(c.streams.size(), 0);
        }
        else
        {
            if (kind != kChunkPackets || bodySize < 8)
                break;
            const auto mediaSize = static_cast<std::int64_t>(body.U64());
            std::vector<PacketEntry> entries;
            std::vector<std::int64_t> previous = c.previousPts;
            bool ok = true;
            while (ok && !body.Done())
            {
                PacketEntry e;
                const std::uint8_t* first = nullptr;
                std::uint64_t payloadSize = 0, ptsDelta = 0, ptsMinusDts = 0, duration = 0;
                ok = body.Bytes(1, first) && body.Varint(payloadSize) && body.Have(4);
                if (!ok)
                    break;
                e.checksum = body.U32();
                ok = body.Svarint(ptsDelta) && body.Svarint(ptsMinusDts) && body.Svarint(duration) &&
                     payloadSize <= 0xffffffffu && (*first & 0x0f) < c.streams.size() && !(*first & 0xc0);
                if (!ok)
                    break;
                e.stream = *first & 0x0fu;
                e.flags = (*first >> 4) & (kKey | kStartCodes);
                e.size = static_cast<std::uint32_t>(payloadSize);
                const std::uint64_t pts = static_cast<std::uint64_t>(previous[e.stream]) + ptsDelta;
                e.pts = static_cast<std::int64_t>(pts);
                e.dts = static_cast<std::int64_t>(pts - ptsMinusDts);
                e.duration = static_cast<std::int64_t>(duration);
                previous[e.stream] = e.pts;
                entries.push_back(e);
            }
            if (!ok)
                break;
            c.previousPts = std::move(previous);
            c.packets.insert(c.packets.end(), entries.begin(), entries.end());
            if (mediaSize >= 0)
                c.syncs.push_back({mediaSize, at + 12 + bodySize, c.packets.size()});
        }
        at += 12 + bodySize;
        c.validSize = at;
    }
    return c;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg::Journal
