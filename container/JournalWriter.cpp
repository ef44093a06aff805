#include "container/JournalWriter.h"

#include "errors/AvResult.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
// zlib's crc32: twice as fast here as FFmpeg's av_crc, which costs the copy
// path measurably.
std::uint32_t ZlibCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
}

void CheckErrno(bool ok, const char* callName)
{
    if (!ok)
        CheckAvResult(AVERROR(errno), callName);
}

void WriteAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        CheckErrno(n > 0, "::write");
        done += static_cast<std::size_t>(n);
    }
}
} // namespace

JournalWriter::JournalWriter(AVFormatContext& context) : m_context(context), m_path(Journal::PathFor(context.url))
{
    using namespace Journal;
    std::vector<std::uint8_t> header;
    const std::size_t at = OpenChunk(header, kChunkHeader);
    PutU32(header, kMagic);
    PutU32(header, kVersion);
    PutString(header, context.oformat->name);
    PutU32(header, context.nb_streams);
    for (unsigned i = 0; i < context.nb_streams; ++i)
    {
        const AVStream& stream = *context.streams[i];
        const AVCodecParameters& p = *stream.codecpar;
        const std::string codec = avcodec_get_name(p.codec_id);
        PutString(header, codec);
        PutU32(header, p.codec_type == AVMEDIA_TYPE_AUDIO ? 1 : 0);
        for (const int value : {stream.time_base.num, stream.time_base.den, p.width, p.height, p.sample_rate,
                                p.ch_layout.nb_channels, p.frame_size, p.initial_padding, p.block_align,
                                p.bits_per_coded_sample})
            PutU32(header, static_cast<std::uint32_t>(value));
        PutU32(header, p.codec_tag);
        PutU64(header, static_cast<std::uint64_t>(p.bit_rate));
        const auto extraSize = static_cast<std::size_t>(std::max(p.extradata_size, 0));
        m_annexB.push_back(IsAnnexB(codec, p.extradata, extraSize));
        m_previousPts.push_back(0);
        header.push_back(m_annexB.back() ? 1 : 0);
        PutU32(header, static_cast<std::uint32_t>(extraSize));
        header.insert(header.end(), p.extradata, p.extradata + extraSize);
    }
    CloseChunk(header, at, ZlibCrc32);

    // fsync applies to the file, whichever descriptor names it: a second one
    // leaves libavformat's own I/O untouched.
    m_mediaFd = ::open(context.url, O_WRONLY | O_CLOEXEC);
    CheckErrno(m_mediaFd >= 0, "::open");
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_fd < 0)
    {
        const int error = errno;
        ::close(m_mediaFd);
        errno = error;
        CheckErrno(false, "::open");
    }
    try
    {
        WriteAll(m_fd, header);
        // Room for what is flushed at once, so that the buffer never grows.
        m_pending.reserve(kPendingBytes + 256);
        OpenPending();
        m_nextSync = std::chrono::steady_clock::now() + kSyncInterval;
    }
    catch (...)
    {
        ::close(m_fd);
        ::close(m_mediaFd);
        throw;
    }
}

JournalWriter::~JournalWriter()
{
    if (m_fd < 0)
        return;
    try
    {
        // A failed file keeps what its journal knows, for recovery.
        WritePending(-1);
    }
    catch (...)
    {
    }
    ::close(m_fd);
    ::close(m_mediaFd);
}

void JournalWriter::Record(const AVPacket& packet)
{
    // A stream the muxer does not have fails in the muxer, not here.
    if (packet.stream_index < 0 || static_cast<std::size_t>(packet.stream_index) >= m_annexB.size())
        return;
    Journal::PacketEntry entry;
    entry.stream = static_cast<std::uint32_t>(packet.stream_index);
    entry.flags = (packet.flags & AV_PKT_FLAG_KEY) ? 1 : 0;
    const std::uint8_t* data = packet.data;
    std::size_t size = static_cast<std::size_t>(packet.size);
    if (m_annexB[static_cast<std::size_t>(packet.stream_index)])
    {
        // What the muxer will store, not what it is given.
        Journal::AnnexBToLengthPrefixed(data, size, m_scratch);
        data = m_scratch.data();
        size = m_scratch.size();
    }
    entry.size = static_cast<std::uint32_t>(size);
    entry.checksum = Journal::PayloadChecksum(ZlibCrc32, data, size);
    entry.pts = packet.pts;
    entry.dts = packet.dts;
    entry.duration = packet.duration;
    Journal::PutEntry(m_pending, entry, m_previousPts[entry.stream]);
    // An export faster than real time records many packets between syncs:
    // they go to the journal unsynced, so that memory stays bounded.
    if (m_pending.size() >= kPendingBytes)
        WritePending(-1);
}

void JournalWriter::OpenPending()
{
    m_pending.clear();
    Journal::OpenChunk(m_pending, Journal::kChunkPackets);
    Journal::PutU64(m_pending, 0); // the durable media size, filled in by WritePending
}

void JournalWriter::WritePending(std::int64_t mediaSize)
{
    Journal::SetLittleEndian(m_pending, kPendingSizeAt, static_cast<std::uint64_t>(mediaSize));
    const std::size_t entriesEnd = m_pending.size();
    Journal::CloseChunk(m_pending, 0, ZlibCrc32);
    try
    {
        WriteAll(m_fd, m_pending);
    }
    catch (...)
    {
        m_pending.resize(entriesEnd); // still open: a later write sends the same entries
        throw;
    }
    OpenPending();
}

void JournalWriter::StartWriteback()
{
    // Asynchronous and advisory: a write error shows at the next fdatasync.
    ::sync_file_range(m_mediaFd, 0, 0, SYNC_FILE_RANGE_WRITE);
    m_writebackAt = m_context.pb->pos + kWritebackBytes;
}

void JournalWriter::Sync()
{
    avio_flush(m_context.pb);
    CheckAvResult(m_context.pb->error, "::avio_flush");
    CheckErrno(::fdatasync(m_mediaFd) == 0, "::fdatasync");
    WritePending(avio_tell(m_context.pb));
    CheckErrno(::fdatasync(m_fd) == 0, "::fdatasync");
    m_nextSync = std::chrono::steady_clock::now() + kSyncInterval;
}

void JournalWriter::Finish()
{
    avio_flush(m_context.pb);
    CheckAvResult(m_context.pb->error, "::avio_flush");
    CheckErrno(::fdatasync(m_mediaFd) == 0, "::fdatasync");
    ::close(m_fd);
    ::close(m_mediaFd);
    m_fd = -1;
    m_mediaFd = -1;
    ::unlink(m_path.c_str());
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
