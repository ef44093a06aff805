#include "Recover.h"

#include "FfmpegHandles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace mpegexport
{
namespace
{
constexpr int kFinished = 3;
constexpr int kMissing = 4;
constexpr int kDamaged = 5;
constexpr int kMismatch = 6;
constexpr int kNothingYet = 7;

struct Fd
{
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

ReadAt ReaderOf(int fd)
{
    return [fd](std::uint64_t offset, std::size_t size, std::uint8_t* out) {
        std::size_t done = 0;
        while (done < size)
        {
            const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    };
}

void Check(int status, const char* call)
{
    if (status < 0)
        throw std::runtime_error(std::string(call) + ": " + AvErrorText(status));
}

using OutputContextPtr = std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)>;

void FreeOutput(AVFormatContext* context)
{
    if (context && context->pb)
        avio_closep(&context->pb);
    avformat_free_context(context);
}

// Writes the kept packets, with the journal's timestamps, into a fresh file
// of the same container.
void Remux(const journal::Contents& contents, const Match& match, const ReadAt& read, const std::string& path)
{
    AVFormatContext* raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, contents.container.c_str(), path.c_str()),
          "avformat_alloc_output_context2");
    OutputContextPtr context(raw, FreeOutput);
    for (const journal::StreamEntry& entry : contents.streams)
    {
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get_by_name(entry.codec.c_str());
        AVStream* stream = avformat_new_stream(context.get(), nullptr);
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
                throw std::runtime_error("out of memory");
            std::memcpy(p.extradata, entry.extradata.data(), entry.extradata.size());
            p.extradata_size = static_cast<int>(entry.extradata.size());
        }
        stream->time_base = AVRational{entry.timeBaseNum, entry.timeBaseDen};
    }
    Check(avio_open(&context->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open");
    Check(avformat_write_header(context.get(), nullptr), "avformat_write_header");

    PacketPtr packet(av_packet_alloc());
    if (!packet)
        throw std::runtime_error("out of memory");
    std::vector<std::uint8_t> stored;
    std::vector<std::uint8_t> annexB;
    for (std::size_t k = 0; k < match.kept.size(); ++k)
    {
        const journal::PacketEntry& entry = contents.packets[match.kept[k]];
        const journal::StreamEntry& stream = contents.streams[entry.stream];
        stored.resize(entry.size);
        if (!read(match.offsets[k], entry.size, stored.data()))
            throw std::runtime_error("the file shrank while it was read");
        const std::vector<std::uint8_t>* payload = &stored;
        // The muxer stores these as length-prefixed units and wants them back
        // as it was given them.
        if (stream.annexB)
        {
            if (!journal::LengthPrefixedToAnnexB(stored.data(), stored.size(), annexB))
                throw std::runtime_error("a stored picture is not made of whole units");
            payload = &annexB;
        }
        av_packet_unref(packet.get());
        Check(av_new_packet(packet.get(), static_cast<int>(payload->size())), "av_new_packet");
        std::memcpy(packet->data, payload->data(), payload->size());
        packet->stream_index = static_cast<int>(entry.stream);
        packet->pts = entry.pts;
        packet->dts = entry.dts;
        packet->duration = entry.duration;
        packet->flags = (entry.flags & 1) ? AV_PKT_FLAG_KEY : 0;
        av_packet_rescale_ts(packet.get(), AVRational{stream.timeBaseNum, stream.timeBaseDen},
                             context->streams[entry.stream]->time_base);
        Check(av_interleaved_write_frame(context.get(), packet.get()), "av_interleaved_write_frame");
    }
    Check(av_write_trailer(context.get()), "av_write_trailer");
    Check(avio_closep(&context->pb), "avio_closep");
}

int Refuse(int status, const std::string& message)
{
    std::fprintf(stderr, "mpegexport: %s\n", message.c_str());
    return status;
}
} // namespace

int Recover(const std::string& file, bool quiet)
{
    Fd media;
    media.fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info = {};
    if (media.fd < 0 || ::fstat(media.fd, &info) != 0 || !S_ISREG(info.st_mode))
        return Refuse(kMissing, "'" + file + "': " + (media.fd < 0 ? std::strerror(errno) : "not a regular file"));
    const ReadAt read = ReaderOf(media.fd);
    const MediaLayout layout = WalkBoxes(read, static_cast<std::uint64_t>(info.st_size));
    if (layout.finished)
        return Refuse(kFinished, "'" + file + "' is finished (it has its index); nothing to recover");

    const std::string journalPath = journal::PathFor(file);
    Fd journalFd;
    journalFd.fd = ::open(journalPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (journalFd.fd < 0)
        return Refuse(kMissing, "'" + file + "' has no journal ('" + journalPath + "'); nothing to recover");
    struct stat journalInfo = {};
    std::vector<std::uint8_t> bytes;
    if (::fstat(journalFd.fd, &journalInfo) == 0 && journalInfo.st_size > 0)
    {
        bytes.resize(static_cast<std::size_t>(journalInfo.st_size));
        if (!ReaderOf(journalFd.fd)(0, bytes.size(), bytes.data()))
            bytes.clear();
    }
    const journal::Contents contents = journal::Parse(bytes.data(), bytes.size(), ZlibCrc32);
    if (!contents.valid)
        return Refuse(kDamaged, "'" + journalPath + "' is damaged: it has no valid header; nothing was changed");

    if (!layout.isMp4 || !layout.hasMdat)
        return Refuse(kMismatch, "'" + file + "' does not match its journal: no MP4/MOV media data; nothing was changed");
    if (contents.packets.empty())
        return Refuse(kNothingYet, "'" + journalPath +
                                       "' lists no packet yet (the export ended within its first moments); "
                                       "nothing to recover");
    const Match match = MatchPackets(contents, read, layout.dataStart, layout.dataEnd);
    if (match.kept.empty())
        return Refuse(kMismatch, "'" + file + "' does not match its journal: none of its " +
                                     std::to_string(contents.packets.size()) +
                                     " packets is in the media data; nothing was changed");

    const std::string temporary = file + ".recovering";
    try
    {
        Remux(contents, match, read, temporary);
        if (std::rename(temporary.c_str(), file.c_str()) != 0)
            throw std::runtime_error("cannot replace it: " + std::string(std::strerror(errno)));
    }
    catch (const std::exception& error)
    {
        std::remove(temporary.c_str());
        return Refuse(1, "'" + file + "': recovery failed: " + error.what() + "; nothing was changed");
    }
    std::remove(journalPath.c_str());

    if (quiet)
        return 0;
    std::printf("recovered '%s': %zu of %zu packets in the journal kept\n", file.c_str(), match.kept.size(),
                contents.packets.size());
    for (std::size_t s = 0; s < contents.streams.size(); ++s)
    {
        std::size_t total = 0;
        std::int64_t first = INT64_MAX;
        std::int64_t end = INT64_MIN;
        for (const journal::PacketEntry& entry : contents.packets)
            total += entry.stream == s ? 1 : 0;
        for (const std::size_t index : match.kept)
        {
            const journal::PacketEntry& entry = contents.packets[index];
            if (entry.stream != s)
                continue;
            first = std::min(first, entry.pts);
            end = std::max(end, entry.pts + entry.duration);
        }
        const journal::StreamEntry& stream = contents.streams[s];
        const double seconds = match.keptPerStream[s] == 0
                                   ? 0.0
                                   : static_cast<double>(end - first) * stream.timeBaseNum / stream.timeBaseDen;
        std::printf("stream %zu (%s): kept %zu packets (%.3f s), dropped %zu\n", s, stream.codec.c_str(),
                    match.keptPerStream[s], seconds, total - match.keptPerStream[s]);
    }
    return 0;
}

} // namespace mpegexport
