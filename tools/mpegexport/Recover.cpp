// --recover: the packets an interrupted export left in its file, found through its journal and
// written into a regular file in its place.

#include "Tool.h"

#include <mpegexporter/Journal.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <cerrno>
#include <cstring>
#include <numeric>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

namespace mpegexport
{
namespace
{
namespace journal = mpeg::Journal;
namespace fs = std::filesystem;

// A descriptor closed on the way out, leaving errno to tell what failed before.
struct Descriptor
{
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    ~Descriptor()
    {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        errno = error;
    }
    // Reads `size` bytes at `offset` into `out`; false when the file is shorter.
    bool ReadAt(std::uint64_t offset, std::size_t size, std::uint8_t* out) const
    {
        for (std::size_t done = 0; done < size;)
        {
            const ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    const int fd;
};

// Where the media data of an MP4/MOV file lies, from its top-level boxes.
struct MediaLayout
{
    bool isMp4 = false;          // a box sequence that opens with an ftyp
    bool finished = false;       // has a moov: nothing to recover
    std::uint64_t dataStart = 0; // 0: no mdat
    std::uint64_t dataEnd = 0;   // the mdat's end, or the file's when its size was never written
};

// The journal's packets found in the media data: journal index and offset in the file, in journal order.
using Match = std::vector<std::pair<std::size_t, std::uint64_t>>;

std::uint32_t ZlibCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
}

MediaLayout WalkBoxes(const Descriptor& media, std::uint64_t fileSize)
{
    MediaLayout layout;
    std::uint8_t head[16];
    const auto bigEndian = [&head](int from, int bytes) {
        const auto shiftIn = [](std::uint64_t value, std::uint8_t byte) { return value << 8 | byte; };
        return std::accumulate(head + from, head + from + bytes, std::uint64_t{0}, shiftIn);
    };
    for (std::uint64_t at = 0; fileSize - at >= 8 && media.ReadAt(at, 8, head);)
    {
        std::uint64_t size = bigEndian(0, 4), headerSize = 8;
        const std::string type(reinterpret_cast<const char*>(head + 4), 4);
        if (size == 1)
        {
            if (fileSize - at < 16 || !media.ReadAt(at + 8, 8, head + 8))
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
        if (type == "mdat" && !layout.dataStart)
        {
            layout.dataStart = at + headerSize;
            layout.dataEnd = open ? fileSize : at + size;
        }
        if (open)
            break;
        at += size;
    }
    return layout;
}

// At each position takes the first stream whose next packet fits (size and checksum); stops where none does.
Match MatchPackets(const journal::Contents& contents, const Descriptor& media, std::uint64_t at, std::uint64_t end)
{
    std::vector<std::deque<std::size_t>> pending(contents.streams.size());
    for (std::size_t i = 0; i < contents.packets.size(); ++i)
        if (contents.packets[i].size > 0) // an empty packet leaves nothing in the file
            pending[contents.packets[i].stream].push_back(i);
    // Both checksummed ends side by side: zlib's crc32 runs on over them as
    // over the payload's own bytes (journal::PayloadChecksum).
    constexpr std::size_t span = journal::kChecksumSpan;
    std::uint8_t ends[2 * span];
    // Whether `entry` is the packet at `at`.
    const auto isAt = [&](const journal::PacketEntry& entry) {
        const bool whole = entry.size <= 2 * span;
        return entry.size <= end - at &&
               (whole ? media.ReadAt(at, entry.size, ends)
                      : media.ReadAt(at, span, ends) && media.ReadAt(at + entry.size - span, span, ends + span)) &&
               ZlibCrc32(0, ends, whole ? entry.size : 2 * span) == entry.checksum;
    };
    Match match;
    while (at < end)
    {
        const auto next = std::find_if(pending.begin(), pending.end(), [&](const std::deque<std::size_t>& queue) {
            return !queue.empty() && isAt(contents.packets[queue.front()]);
        });
        if (next == pending.end())
            break;
        match.emplace_back(next->front(), at);
        at += contents.packets[next->front()].size;
        next->pop_front();
    }
    std::sort(match.begin(), match.end());
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

// Writes the kept packets, with the journal's timestamps, into a fresh file of the same container.
void Remux(const journal::Contents& contents, const Match& match, const Descriptor& media, const std::string& path)
{
    AVFormatContext* raw = nullptr;
    Check(avformat_alloc_output_context2(&raw, nullptr, contents.container.c_str(), path.c_str()),
          "avformat_alloc_output_context2");
    std::unique_ptr<AVFormatContext, FreeOutput> context(raw);
    for (const journal::StreamEntry& entry : contents.streams)
    {
        const AVMediaType type = entry.mediaType == 1 ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get_by_name(entry.codec.c_str());
        AVStream* stream = avformat_new_stream(raw, nullptr);
        if (!stream)
            throw std::bad_alloc();
        // A codec of another kind than its stream's would be written as that kind.
        if (!descriptor || descriptor->type != type)
            throw std::runtime_error("the journal names " + std::string(av_get_media_type_string(type)) + " codec '" +
                                     entry.codec + "', which is no such codec");
        AVCodecParameters& p = *stream->codecpar;
        p.codec_type = type;
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
    // A file name, whatever it holds: "cam1:front.mp4" is no URL of protocol "cam1".
    Check(avio_open(&raw->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE), "avio_open");
    Check(avformat_write_header(raw, nullptr), "avformat_write_header");

    const auto packet = Allocated<PacketPtr>(av_packet_alloc()); // left blank by each write
    std::vector<std::uint8_t> stored, annexB;
    for (const auto& [index, offset] : match)
    {
        const journal::PacketEntry& entry = contents.packets[index];
        stored.resize(entry.size);
        if (!media.ReadAt(offset, entry.size, stored.data()))
            throw std::runtime_error("the file shrank while it was read");
        // The muxer stores these as length-prefixed units and wants them back as it was given them.
        const bool startCodes = (entry.flags & journal::kStartCodes) != 0;
        if (startCodes && !journal::LengthPrefixedToAnnexB(stored.data(), stored.size(), annexB))
            throw std::runtime_error("a stored picture is not made of whole units");
        const std::vector<std::uint8_t>& payload = startCodes ? annexB : stored;
        Check(av_new_packet(packet.get(), static_cast<int>(payload.size())), "av_new_packet");
        std::copy(payload.begin(), payload.end(), packet->data);
        packet->stream_index = static_cast<int>(entry.stream);
        packet->pts = entry.pts;
        packet->dts = entry.dts;
        packet->duration = entry.duration;
        packet->flags = (entry.flags & journal::kKey) ? AV_PKT_FLAG_KEY : 0;
        const journal::StreamEntry& stream = contents.streams[entry.stream];
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

// Opens `path` for reading without waiting on a FIFO; `problem` says why not
// when it is no regular file or cannot be opened.
int OpenRegular(const std::string& path, struct stat& facts, std::string& problem)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &facts) != 0)
        problem = std::strerror(errno);
    else if (!S_ISREG(facts.st_mode))
        problem = "not a regular file";
    return fd;
}

// Makes the names in `file`'s directory durable; false with errno set when it cannot.
bool SyncDirectoryOf(const std::string& file)
{
    const fs::path parent = fs::path(file).parent_path();
    const Descriptor directory(::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory.fd >= 0 && ::fsync(directory.fd) == 0;
}

// Writes the kept packets into a new file beside `file` and puts it in
// `file`'s place, durable before the original goes: file, then directory.
void Replace(const std::string& file, mode_t mode, const journal::Contents& contents, const Match& match,
             const Descriptor& media)
{
    // Not FILE.recovering: a name near NAME_MAX has no room for a suffix.
    std::string temporary = (fs::path(file).parent_path() / ".mpegexport-recovering-XXXXXX").string();
    const Descriptor output(::mkstemp(temporary.data()));
    if (output.fd < 0)
        throw std::runtime_error(std::string("cannot create a file beside it: ") + std::strerror(errno));
    try
    {
        // The recovered file keeps the permissions of the one it replaces.
        if (::fchmod(output.fd, mode & 07777) != 0)
            throw std::runtime_error(std::string("cannot set its permissions: ") + std::strerror(errno));
        Remux(contents, match, media, temporary);
        if (::fsync(output.fd) != 0)
            throw std::runtime_error(std::string("cannot sync it: ") + std::strerror(errno));
        if (std::rename(temporary.c_str(), file.c_str()) != 0)
            throw std::runtime_error("cannot replace it: " + std::string(std::strerror(errno)));
    }
    catch (...)
    {
        std::remove(temporary.c_str());
        throw;
    }
    if (!SyncDirectoryOf(file))
        throw std::runtime_error(std::string("cannot sync its directory: ") + std::strerror(errno));
}

void PrintKept(const std::string& file, const journal::Contents& contents, const Match& match)
{
    std::printf("recovered '%s': %zu of %zu packets in the journal kept\n", file.c_str(), match.size(),
                contents.packets.size());
    for (std::size_t s = 0; s < contents.streams.size(); ++s)
    {
        const auto total = std::count_if(contents.packets.begin(), contents.packets.end(),
                                         [s](const journal::PacketEntry& entry) { return entry.stream == s; });
        std::size_t kept = 0;
        std::int64_t first = INT64_MAX, end = INT64_MIN;
        for (const auto& found : match)
            if (const journal::PacketEntry& entry = contents.packets[found.first]; entry.stream == s)
            {
                ++kept;
                first = std::min(first, entry.pts);
                end = std::max(end, entry.pts + entry.duration);
            }
        const journal::StreamEntry& stream = contents.streams[s];
        const double seconds =
            kept == 0 ? 0.0 : static_cast<double>(end - first) * stream.timeBaseNum / stream.timeBaseDen;
        std::printf("stream %zu (%s): kept %zu packets (%.3f s), dropped %zu\n", s, stream.codec.c_str(), kept, seconds,
                    static_cast<std::size_t>(total) - kept);
    }
}
} // namespace

int Recover(const std::string& file, bool quiet)
{
    struct stat facts{};
    std::string problem;
    const Descriptor media(OpenRegular(file, facts, problem));
    if (!problem.empty())
        return Refuse(4, "'" + file + "': " + problem);
    // The library holds this lock on the file it writes until it has finished or given it up; held here
    // until the file is replaced, it also keeps a new export off it meanwhile.
    if (::flock(media.fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return Refuse(8, "'" + file + "' is being written by a running export; recover it once that has ended");
    const MediaLayout layout = WalkBoxes(media, static_cast<std::uint64_t>(facts.st_size));
    if (layout.finished)
        return Refuse(3, "'" + file + "' is finished (it has its index); nothing to recover");

    const std::string journalPath = journal::PathFor(file);
    struct stat journalFacts{};
    const Descriptor journalFile(OpenRegular(journalPath, journalFacts, problem));
    if (journalFile.fd < 0 && errno == ENOENT)
        return Refuse(4, "'" + file + "' has no journal ('" + journalPath + "'); nothing to recover");
    // Its size cannot change meanwhile: the export that writes it holds the lock taken above.
    std::vector<std::uint8_t> bytes(problem.empty() ? static_cast<std::size_t>(journalFacts.st_size) : 0);
    if (!problem.empty() || !journalFile.ReadAt(0, bytes.size(), bytes.data()))
        return Refuse(4, "'" + journalPath + "': " + (problem.empty() ? std::strerror(errno) : problem));
    const journal::Contents contents = journal::Parse(bytes.data(), bytes.size(), ZlibCrc32);
    if (!contents.valid)
        return Refuse(5, "'" + journalPath + "' is damaged: it has no valid header; nothing was changed");
    const auto mismatch = [&file](const std::string& why) {
        return Refuse(6, "'" + file + "' does not match its journal: " + why + "; nothing was changed");
    };
    journal::FileIdentity identity;
    if (!journal::IdentityOf(media.fd, identity) || !journal::IsSameFile(contents.file, identity))
        return mismatch("the journal was written for another file (a copy, or a file since made anew under that name)");
    if (!layout.isMp4 || !layout.dataStart)
        return mismatch("no MP4/MOV media data");
    if (contents.packets.empty())
        return Refuse(7, "'" + journalPath +
                             "' lists no packet yet (the export ended within its first moments); nothing to recover");
    const Match match = MatchPackets(contents, media, layout.dataStart, layout.dataEnd);
    if (match.empty())
        return mismatch("none of its " + std::to_string(contents.packets.size()) + " packets is in the media data");
    try
    {
        Replace(file, facts.st_mode, contents, match, media);
    }
    catch (const std::exception& failure)
    {
        return Refuse(1, "'" + file + "': recovery failed: " + failure.what() + "; nothing was changed");
    }
    // Only once the recovered file is durable in its place.
    // The journal may come back after a power cut; --recover then finds the file finished.
    if (std::remove(journalPath.c_str()) == 0)
        SyncDirectoryOf(file);
    if (!quiet)
        PrintKept(file, contents, match);
    return 0;
}

} // namespace mpegexport
