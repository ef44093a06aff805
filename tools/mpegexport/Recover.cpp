#include "Recover.h"

#include "Tool.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

namespace mpegexport
{
namespace
{
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
        if (stream.annexB && !journal::LengthPrefixedToAnnexB(stored.data(), stored.size(), annexB))
            throw std::runtime_error("a stored picture is not made of whole units");
        const std::vector<std::uint8_t>& payload = stream.annexB ? annexB : stored;
        av_packet_unref(packet.get());
        Check(av_new_packet(packet.get(), static_cast<int>(payload.size())), "av_new_packet");
        std::copy(payload.begin(), payload.end(), packet->data);
        packet->stream_index = static_cast<int>(entry.stream);
        packet->pts = entry.pts;
        packet->dts = entry.dts;
        packet->duration = entry.duration;
        packet->flags = (entry.flags & 1) ? AV_PKT_FLAG_KEY : 0;
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
