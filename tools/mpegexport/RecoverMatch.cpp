// Finding the journal's packets in an interrupted file's media data.

#include "Recover.h"

#include <algorithm>

#include <zlib.h>

namespace mpegexport
{

std::uint32_t ZlibCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
}

MediaLayout WalkBoxes(const ReadAt& read, std::uint64_t fileSize)
{
    MediaLayout layout;
    std::uint8_t head[16];
    for (std::uint64_t at = 0; fileSize - at >= 8 && read(at, 8, head);)
    {
        const auto bigEndian = [&head](int from, int bytes) {
            std::uint64_t v = 0;
            for (int i = from; i < from + bytes; ++i)
                v = (v << 8) | head[i];
            return v;
        };
        std::uint64_t size = bigEndian(0, 4);
        const std::string type(reinterpret_cast<const char*>(head + 4), 4);
        std::uint64_t headerSize = 8;
        if (size == 1)
        {
            if (fileSize - at < 16 || !read(at + 8, 8, head + 8))
                break;
            size = bigEndian(8, 8);
            headerSize = 16;
        }
        if (!layout.isMp4 && type != "ftyp")
            break;
        layout.isMp4 = true;
        layout.finished = layout.finished || type == "moov";
        // The muxer writes the mdat's size only with the trailer: an
        // unwritten (0) or impossible size runs to the end of the file.
        const bool open = size == 0 || size < headerSize || size > fileSize - at;
        if (type == "mdat" && !layout.hasMdat)
        {
            layout.hasMdat = true;
            layout.dataStart = at + headerSize;
            layout.dataEnd = open ? fileSize : at + size;
        }
        if (open)
            break;
        at += size;
    }
    return layout;
}

Match MatchPackets(const journal::Contents& contents, const ReadAt& read, std::uint64_t dataStart,
                   std::uint64_t dataEnd)
{
    const std::size_t streams = contents.streams.size();
    std::vector<std::vector<std::size_t>> queues(streams);
    for (std::size_t i = 0; i < contents.packets.size(); ++i)
        if (contents.packets[i].size > 0) // an empty packet leaves nothing in the file
            queues[contents.packets[i].stream].push_back(i);
    std::vector<std::size_t> next(streams, 0);
    Match match;
    match.keptPerStream.assign(streams, 0);
    std::vector<std::pair<std::size_t, std::uint64_t>> found;
    // Both checksummed ends side by side: zlib's crc32 runs on over them as
    // over the payload's own bytes (journal::PayloadChecksum).
    constexpr std::size_t span = journal::kChecksumSpan;
    std::uint8_t ends[2 * span];
    std::uint64_t at = dataStart;
    for (bool advanced = true; advanced && at < dataEnd;)
    {
        advanced = false;
        for (std::size_t s = 0; s < streams && !advanced; ++s)
        {
            if (next[s] == queues[s].size())
                continue;
            const std::size_t index = queues[s][next[s]];
            const journal::PacketEntry& entry = contents.packets[index];
            if (entry.size > dataEnd - at)
                continue;
            const bool whole = entry.size <= 2 * span;
            if (!(whole ? read(at, entry.size, ends)
                        : read(at, span, ends) && read(at + entry.size - span, span, ends + span)) ||
                ZlibCrc32(0, ends, whole ? entry.size : 2 * span) != entry.checksum)
                continue;
            found.emplace_back(index, at);
            ++next[s];
            ++match.keptPerStream[s];
            at += entry.size;
            advanced = true;
        }
    }
    std::sort(found.begin(), found.end());
    for (const auto& [index, offset] : found)
    {
        match.kept.push_back(index);
        match.offsets.push_back(offset);
    }
    return match;
}

} // namespace mpegexport
