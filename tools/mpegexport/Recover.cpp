#include "Tool.h"

#include <mpegexporter/Journal.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

#include <zlib.h>

namespace mpegexport
{
namespace
{
namespace journal = Halvaro::Oru::Shared::Export::Mpeg::Journal;

// Reads `size` bytes at `offset` into `out`; false when the file is shorter.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t size, std::uint8_t* out)>;

// Where the media data of an MP4/MOV file lies, from its top-level boxes.
struct MediaLayout
{
    bool isMp4 = false;    // a box sequence that opens with an ftyp
    bool finished = false; // has a moov: nothing to recover
    bool hasMdat = false;
    std::uint64_t dataStart = 0;
    std::uint64_t dataEnd = 0; // the mdat's end, or the file's when its size was never written
};

// The journal's packets found in the media data, in journal order, each stream's first keptPerStream[s].
struct Match
{
    std::vector<std::size_t> kept; // journal indices
    std::vector<std::uint64_t> offsets;
    std::vector<std::size_t> keptPerStream;
};
// At each position takes the first stream whose next packet fits (size and checksum); stops where none does.


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

struct FreeOutput
{
    void operator()(AVFormatContext* context) const
    {
        if (context->pb)
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

// Writes the kept packets, with the journal's timestamps, into a fresh file
// of the same container.
void Remux(const journal::Contents& contents, const Match& match, const ReadAt& read, const std::string& path)
{
    AVFormatContext* raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, contents.container.c_str(), path.c_str()),
          "avformat_alloc_output_context2");
    std::unique_ptr<AVFormatContext, FreeOutput> context(raw);
    for (const journal::StreamEntry& entry : contents.streams)
    {
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get_by_name(entry.codec.c_str());
        AVStream* stream = avformat_new_stream(raw, nullptr);
        if (!descriptor || !stream)
            throw std::runtime_error("cannot make a stream for codec '" + entry.codec + "'");
        AVCodecParameters& p = *stream->codecpar;
        p.codec_type = entry.mediaType == 1 ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
        p.codec_id = descriptor->id;
        p.codec_tag = entry.codecTag;
        p.width = entry.width;
        p.height = entry.height;
        p.sample_rate = entry.sampleRate;
        if (entry.channels > 0)
            av_channel_layout_default(&p.ch_layout, entry.channels);
        p.frame_size = entry.frameSize;
        p.initial_padding = entry.initialPadding;
        p.block_align = entry.blockAlign;
        p.bits_per_coded_sample = entry.bitsPerCodedSample;
        p.bit_rate = entry.bitRate;
        if (!entry.extradata.empty())
        {
            p.extradata = static_cast<std::uint8_t*>(av_mallocz(entry.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!p.extradata)
                throw std::bad_alloc();
            std::copy(entry.extradata.begin(), entry.extradata.end(), p.extradata);
            p.extradata_size = static_cast<int>(entry.extradata.size());
        }
        stream->time_base = AVRational{entry.timeBaseNum, entry.timeBaseDen};
    }
    Check(avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open");
    Check(avformat_write_header(raw, nullptr), "avformat_write_header");

    const auto packet = Allocated<PacketPtr>(av_packet_alloc());
    std::vector<std::uint8_t> stored, annexB;
    for (std::size_t k = 0; k < match.kept.size(); ++k)
    {
        const journal::PacketEntry& entry = contents.packets[match.kept[k]];
        const journal::StreamEntry& stream = contents.streams[entry.stream];
        stored.resize(entry.size);
        if (!read(match.offsets[k], entry.size, stored.data()))
            throw std::runtime_error("the file shrank while it was read");
        // The muxer stores these as length-prefixed units and wants them back
        // as it was given them.
        const bool startCodes = (entry.flags & journal::kStartCodes) != 0;
        if (startCodes && !journal::LengthPrefixedToAnnexB(stored.data(), stored.size(), annexB))
            throw std::runtime_error("a stored picture is not made of whole units");
        const std::vector<std::uint8_t>& payload = startCodes ? annexB : stored;
        av_packet_unref(packet.get());
        Check(av_new_packet(packet.get(), static_cast<int>(payload.size())), "av_new_packet");
        std::copy(payload.begin(), payload.end(), packet->data);
        packet->stream_index = static_cast<int>(entry.stream);
        packet->pts = entry.pts;
        packet->dts = entry.dts;
        packet->duration = entry.duration;
        packet->flags = (entry.flags & journal::kKey) ? AV_PKT_FLAG_KEY : 0;
        av_packet_rescale_ts(packet.get(), AVRational{stream.timeBaseNum, stream.timeBaseDen},
                             raw->streams[entry.stream]->time_base);
        Check(av_interleaved_write_frame(raw, packet.get()), "av_interleaved_write_frame");
    }
    Check(av_write_trailer(raw), "av_write_trailer");
    Check(avio_closep(&raw->pb), "avio_closep");
}

int Refuse(int status, const std::string& message)
{
    std::fprintf(stderr, "mpegexport: %s\n", message.c_str());
    return status;
}

void PrintKept(const std::string& file, const journal::Contents& contents, const Match& match)
{
    std::printf("recovered '%s': %zu of %zu packets in the journal kept\n", file.c_str(), match.kept.size(),
                contents.packets.size());
    for (std::size_t s = 0; s < contents.streams.size(); ++s)
    {
        const auto total = std::count_if(contents.packets.begin(), contents.packets.end(),
                                         [s](const journal::PacketEntry& entry) { return entry.stream == s; });
        std::int64_t first = INT64_MAX, end = INT64_MIN;
        for (const std::size_t index : match.kept)
            if (const journal::PacketEntry& entry = contents.packets[index]; entry.stream == s)
            {
                first = std::min(first, entry.pts);
                end = std::max(end, entry.pts + entry.duration);
            }
        const journal::StreamEntry& stream = contents.streams[s];
        const std::size_t kept = match.keptPerStream[s];
        const double seconds =
            kept == 0 ? 0.0 : static_cast<double>(end - first) * stream.timeBaseNum / stream.timeBaseDen;
        std::printf("stream %zu (%s): kept %zu packets (%.3f s), dropped %zu\n", s, stream.codec.c_str(), kept, seconds,
                    static_cast<std::size_t>(total) - kept);
    }
}
} // namespace

// Exit status: 3 finished, 4 missing, 5 damaged journal, 6 mismatch, 7 nothing yet.
int Recover(const std::string& file, bool quiet)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    std::ifstream media(file, std::ios::binary);
    if (error || !fs::is_regular_file(status) || !media)
        return Refuse(4, "'" + file + "': " +
                             (error    ? error.message()
                              : !media ? std::strerror(errno)
                                       : "not a regular file"));
    const ReadAt read = [&media](std::uint64_t offset, std::size_t size, std::uint8_t* out) {
        media.clear();
        media.seekg(static_cast<std::streamoff>(offset));
        media.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
        return media.gcount() == static_cast<std::streamsize>(size);
    };
    const MediaLayout layout = WalkBoxes(read, fs::file_size(file, error));
    if (layout.finished)
        return Refuse(3, "'" + file + "' is finished (it has its index); nothing to recover");

    const std::string journalPath = journal::PathFor(file);
    std::ifstream journalFile(journalPath, std::ios::binary);
    if (!journalFile)
        return Refuse(4, "'" + file + "' has no journal ('" + journalPath + "'); nothing to recover");
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(journalFile), {}};
    const journal::Contents contents = journal::Parse(bytes.data(), bytes.size(), ZlibCrc32);
    if (!contents.valid)
        return Refuse(5, "'" + journalPath + "' is damaged: it has no valid header; nothing was changed");
    if (!layout.isMp4 || !layout.hasMdat)
        return Refuse(6, "'" + file + "' does not match its journal: no MP4/MOV media data; nothing was changed");
    if (contents.packets.empty())
        return Refuse(7, "'" + journalPath +
                             "' lists no packet yet (the export ended within its first moments); nothing to recover");
    const Match match = MatchPackets(contents, read, layout.dataStart, layout.dataEnd);
    if (match.kept.empty())
        return Refuse(6, "'" + file + "' does not match its journal: none of its " +
                             std::to_string(contents.packets.size()) +
                             " packets is in the media data; nothing was changed");

    const std::string temporary = file + ".recovering";
    try
    {
        Remux(contents, match, read, temporary);
        if (std::rename(temporary.c_str(), file.c_str()) != 0)
            throw std::runtime_error("cannot replace it: " + std::string(std::strerror(errno)));
    }
    catch (const std::exception& failure)
    {
        std::remove(temporary.c_str());
        return Refuse(1, "'" + file + "': recovery failed: " + failure.what() + "; nothing was changed");
    }
    std::remove(journalPath.c_str());
    if (!quiet)
        PrintKept(file, contents, match);
    return 0;
}

} // namespace mpegexport
