#pragma once

#include "mux/MediaFile.h"

#include <mpegexporter/Journal.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// The recovery journal of one output file (format: mpegexporter/Journal.h).
// Created before the media file is emptied, its header written once the
// muxer's is, fed every packet on its way to the muxer, and made durable
// together with the media file twice a second. Used by one thread at a time:
// the worker, or the host after joining it.
class JournalWriter
{
public:
    // How often the media file and the journal are made durable. Packets the
    // muxer holds back to interleave the streams reach the file only at the
    // sync after next, so half a second keeps a crash's loss under a second.
    static constexpr std::chrono::milliseconds kSyncInterval{500};
    // Records held at most between syncs (about 5,000 packets).
    static constexpr std::size_t kPendingBytes = 64 * 1024;
    // How much the media file grows between two starts of its write-back.
    static constexpr std::int64_t kWritebackBytes = 8 << 20;

    // Creates the journal of `file`, never through a symbolic link and only
    // as a regular file (FfMpegFacadeException otherwise).
    JournalWriter(AVFormatContext& context, MediaFile& file);
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    // After a header: writes what is pending, without syncing, and leaves
    // the journal.
    ~JournalWriter();

    // Writes the header chunk, once the muxer has written its own (the time
    // bases are fixed then).
    void WriteHeader();
    // The file never opened: the journal goes.
    void Discard() noexcept;

    // Notes a packet before the muxer takes it.
    void Record(const AVPacket& packet);
    // Syncs when the interval has passed since the last sync; else starts
    // writing back what the muxer has written since the last start.
    void MaybeSync()
    {
        if (std::chrono::steady_clock::now() >= m_nextSync)
            Sync();
        else if (m_context.pb->pos >= m_writebackAt)
            StartWriteback();
    }
    // Flushes the muxer's buffer, fdatasyncs the media file, then writes and
    // fdatasyncs the pending records with the durable size.
    void Sync();
    // After the trailer: makes the finished file durable, then deletes the journal.
    void Finish();

private:
    // The packets chunk being filled: its header, then the media size field
    // at kPendingSizeAt, then the entries.
    static constexpr std::size_t kPendingSizeAt = 8;
    void OpenPending();
    // An export faster than real time writes much between two syncs; the
    // disk takes it meanwhile, rather than all at the sync or at Finish.
    void StartWriteback();
    void WritePending(std::int64_t mediaSize);

    // How the muxer stores a stream's packets: as given, or rewritten from
    // start codes; an H.264 or H.265 stream without extradata is decided by
    // its first packet (Journal::ConfiguredByFirstPacket).
    enum class Form : std::uint8_t
    {
        AsGiven,
        StartCodes,
        FirstPacketDecides,
    };

    AVFormatContext& m_context;
    MediaFile& m_file;
    std::string m_path;
    std::string m_writeCall; // "::write" with the journal's name, for errors
    int m_fd = -1;
    bool m_headerWritten = false;
    bool m_directorySynced = false;
    std::vector<Form> m_forms;
    std::vector<std::string> m_codecs;
    std::vector<std::int64_t> m_previousPts; // per stream, for the journal's differences
    std::vector<std::uint8_t> m_pending; // an open packets chunk, not yet written
    std::vector<std::uint8_t> m_scratch;
    std::chrono::steady_clock::time_point m_nextSync;
    std::int64_t m_writebackAt = kWritebackBytes;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
