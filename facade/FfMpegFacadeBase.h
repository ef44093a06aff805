#pragma once

#include "mux/FormatContext.h"
#include "video/StreamProcessorVideo.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Video-only export, and the file lifecycle the synchronized facade builds
// on. The host calls it from one thread at a time; batches are written on a
// worker thread started per burst of add calls. The worker alone touches the
// processor and the output context while it runs; the host touches them only
// after waiting for it (JoinWorker).
class FfMpegFacadeBase : public IFfMpegFacade
{
public:
    FfMpegFacadeBase();

    void StartInitMediaFile(const std::wstring& filePath) override;
    void InitStreamVideo(std::unique_ptr<StreamParametersVideo> parameters) override;
    void InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters) override;
    void FinishInitMediaFile() override;
    void AddPacketsVideo(MediaPacketList packets) override;
    void AddPacketsAudioVideo(MediaPacketList videoPackets, MediaPacketList audioPackets) override;
    std::int64_t FinishMediaFile() override;
    std::int64_t SplitMediaFileAudioVideo(const std::wstring& filePath, std::uint64_t videoStart,
                                          const MediaPacket& firstAudioPacket) override;
    std::int64_t SplitMediaFileVideo(const std::wstring& filePath, std::uint64_t videoStart) override;
    std::int64_t EstimateFileSize(std::int64_t remaining, std::int64_t done) override;
    void Stop() override;
    ~FfMpegFacadeBase() override;
    SkippedPackets GetSkippedPackets() const override;

protected:
    // Drops the processors, both contexts (closing the file) and the lists
    // still queued for the file; the stop flag and a stored failure stay.
    virtual void ReleaseMediaFile();
    // Writes what the processors still hold at the end of the file.
    virtual void FlushStreams();
    // The current file's packets left out so far (worker, or host after JoinWorker).
    virtual SkippedPackets SkippedInFile() const;
    // Publishes the counts after the worker's entry.
    void CountSkipped();

    // One add call's lists; the audio list stays empty for video-only export.
    struct Entry
    {
        MediaPacketList video;
        MediaPacketList audio;
    };
    // What the worker does with each entry, in the order the host added them.
    virtual void ProcessEntry(Entry entry);

    // A split into the file being written would overwrite what it has just
    // finished: refused in the name of `caller` before anything is finished.
    void RefuseSplitIntoItself(const std::wstring& filePath, const char* caller) const;
    // Waits for the worker; rethrows the failure that stopped writing the
    // current file, if any (every call until the file is finished).
    void JoinWorker();
    // Queues the entry; when the queue was empty and no worker is active,
    // starts one. A worker still busy with its last entry re-checks the queue
    // under the same lock before it ends, so the host never waits for media
    // work here. An entry with a null record is refused whole, in the name of
    // the add call `caller`.
    void Enqueue(Entry entry, const char* caller);

    std::shared_ptr<FormatContextInput> m_inputFormatContext;
    std::unique_ptr<FormatContextOutput> m_outputFormatContext;
    std::unique_ptr<StreamProcessorVideo> m_streamProcessorVideo;
    std::thread m_thread;
    std::mutex m_mutex;
    // Guarded by m_mutex: why the last worker stopped, until the host takes it.
    std::exception_ptr m_workerError;
    // Guarded by m_mutex: entries from m_queueHead on wait; the vector is
    // emptied, its capacity kept, when the worker takes the last one. An add
    // call then allocates only when the queue grows beyond its longest yet. A
    // deque allocated a block every few entries, in the heap where the worker
    // frees the host's packets, and one add call in a hundred waited 10-20 us.
    std::vector<Entry> m_queue;
    std::size_t m_queueHead = 0;
    std::atomic<bool> m_stop{false};

    // Guarded by m_mutex: a worker is running and will look at the queue again.
    bool m_workerActive = false;
    // Host-thread lifecycle of the current file.
    bool m_headerWritten = false;
    // What stopped writing the current file (a full disk, a failed trailer):
    // every later call on it throws this until FinishMediaFile has closed it.
    std::exception_ptr m_failure;
    // FinishMediaFile has tried to give the failed file its index.
    bool m_finishTried = false;

    // Packets left out because they could not be used, in files before the current one.
    SkippedPackets m_skippedBefore;
    // Those and the current file's, as the worker last counted them.
    std::atomic<std::int64_t> m_skippedVideo{0};
    std::atomic<std::int64_t> m_skippedAudio{0};

private:
    // FinishMediaFile for a file whose writing failed.
    std::int64_t FinishFailedFile();
    void RunWorker();
    // Ends a worker: stores the failure, if any, and marks the worker inactive.
    void EndWorker(std::exception_ptr error);
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
