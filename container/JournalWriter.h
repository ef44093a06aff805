#pragma once

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
// Opened once the header is written, fed every packet on its way to the
// muxer, and made durable together with the media file twice a second.
// Used by one thread at a time: the worker, or the host after joining it.
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

    // Creates NAME.journal for the context's file and writes its header.
    explicit JournalWriter(AVFormatContext& context);
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    // Writes what is pending, without syncing, and leaves the journal.
    ~JournalWriter();

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

    AVFormatContext& m_context;
    std::string m_path;
    int m_mediaFd = -1;
    int m_fd = -1;
    std::vector<bool> m_annexB;
    std::vector<std::int64_t> m_previousPts; // per stream, for the journal's differences
    std::vector<std::uint8_t> m_pending; // an open packets chunk, not yet written
    std::vector<std::uint8_t> m_scratch;
    std::chrono::steady_clock::time_point m_nextSync;
    std::int64_t m_writebackAt = kWritebackBytes;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
