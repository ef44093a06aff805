#include "mux/JournalWriter.h"

#include "av/AvResult.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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

void WriteAll(int fd, const std::vector<std::uint8_t>& bytes, const char* callName)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        CheckErrno(n > 0, callName);
        done += static_cast<std::size_t>(n);
    }
}
} // namespace

JournalWriter::JournalWriter(AVFormatContext& context, MediaFile& file)
    : m_context(context), m_file(file), m_path(Journal::PathFor(file.Path())),
      m_writeCall("::write (recovery journal '" + m_path + "')")
{
    // Not through a symbolic link: it would overwrite the link's target. Not
    // blocking: a FIFO in the way is refused below instead of waited on.
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat facts{};
    const bool opened = m_fd >= 0;
    if ((opened && (::fstat(m_fd, &facts) != 0 || !S_ISREG(facts.st_mode))) ||
        (!opened && (errno == ELOOP || errno == EISDIR || errno == ENXIO)))
    {
        if (opened)
            ::close(m_fd);
        throw FfMpegFacadeException("FfMpegFacadeBase::FinishInitMediaFile",
                                    ("'" + m_path +
                                     "' is not a regular file (a directory, a symbolic link, a FIFO or a device): the "
                                     "recovery journal is written only as one")
                                        .c_str());
    }
    CheckErrno(opened, ("::open (recovery journal '" + m_path + "')").c_str());
}

void JournalWriter::WriteHeader()
{
    using namespace Journal;
    FileIdentity identity;
    CheckErrno(IdentityOf(m_file.Descriptor(), identity), "::statx");
    std::vector<std::uint8_t> header;
    const std::size_t at = OpenChunk(header, kChunkHeader);
    PutU32(header, kMagic);
    PutU32(header, kVersion);
    PutU64(header, identity.inode);
    PutU64(header, static_cast<std::uint64_t>(identity.birthSeconds));
    PutU32(header, identity.birthNanoseconds);
    PutString(header, m_context.oformat->name);
    PutU32(header, m_context.nb_streams);
    for (unsigned i = 0; i < m_context.nb_streams; ++i)
    {
        const AVStream& stream = *m_context.streams[i];
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
        m_forms.push_back(ConfiguredByFirstPacket(codec, extraSize)   ? Form::FirstPacketDecides
                          : IsAnnexB(codec, p.extradata, extraSize) ? Form::StartCodes
                                                                     : Form::AsGiven);
        m_codecs.push_back(codec);
        m_previousPts.push_back(0);
        PutU32(header, static_cast<std::uint32_t>(extraSize));
        header.insert(header.end(), p.extradata, p.extradata + extraSize);
    }
    CloseChunk(header, at, ZlibCrc32);
    WriteAll(m_fd, header, m_writeCall.c_str());
    // Room for what is flushed at once, so that the buffer never grows.
    m_pending.reserve(kPendingBytes + 256);
    OpenPending();
    m_nextSync = std::chrono::steady_clock::now() + kSyncInterval;
    m_headerWritten = true;
}

void JournalWriter::Discard() noexcept
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
    ::unlink(m_path.c_str());
}

JournalWriter::~JournalWriter()
{
    if (m_fd < 0)
        return;
    try
    {
        // A failed file keeps what its journal knows, for recovery.
        if (m_headerWritten)
            WritePending(-1);
    }
    catch (...)
    {
    }
    ::close(m_fd);
}

void JournalWriter::Record(const AVPacket& packet)
{
    // A stream the muxer does not have fails in the muxer, not here.
    if (packet.stream_index < 0 || static_cast<std::size_t>(packet.stream_index) >= m_forms.size())
        return;
    const auto stream = static_cast<std::size_t>(packet.stream_index);
    const std::uint8_t* data = packet.data;
    std::size_t size = static_cast<std::size_t>(packet.size);
    // The muxer ignores empty packets, also for the stream's configuration.
    if (m_forms[stream] == Form::FirstPacketDecides && size > 0)
        m_forms[stream] = Journal::IsAnnexB(m_codecs[stream], data, size) ? Form::StartCodes : Form::AsGiven;
    Journal::PacketEntry entry;
    entry.stream = static_cast<std::uint32_t>(stream);
    entry.flags = (packet.flags & AV_PKT_FLAG_KEY) ? Journal::kKey : 0;
    if (m_forms[stream] == Form::StartCodes)
    {
        entry.flags |= Journal::kStartCodes;
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
        WriteAll(m_fd, m_pending, m_writeCall.c_str());
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
    ::sync_file_range(m_file.Descriptor(), 0, 0, SYNC_FILE_RANGE_WRITE);
    m_writebackAt = m_context.pb->pos + kWritebackBytes;
}

void JournalWriter::Sync()
{
    avio_flush(m_context.pb);
    CheckAvResult(m_context.pb->error, "::avio_flush");
    CheckErrno(::fdatasync(m_file.Descriptor()) == 0, "::fdatasync");
    WritePending(avio_tell(m_context.pb));
    CheckErrno(::fdatasync(m_fd) == 0, "::fdatasync");
    if (!m_directorySynced)
    {
        // The names too, once: a power cut must leave both files findable.
        m_file.SyncDirectory();
        m_directorySynced = true;
    }
    m_nextSync = std::chrono::steady_clock::now() + kSyncInterval;
}

void JournalWriter::Finish()
{
    avio_flush(m_context.pb);
    CheckAvResult(m_context.pb->error, "::avio_flush");
    CheckErrno(::fdatasync(m_file.Descriptor()) == 0, "::fdatasync");
    ::close(m_fd);
    m_fd = -1;
    ::unlink(m_path.c_str());
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
