#pragma once

#include "container/FormatContext.h"
#include "streams/StreamProcessorVideo.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

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

protected:
    // Drops the processors, both contexts (closing the file) and the lists
    // still queued for the file; the stop flag and a stored failure stay.
    virtual void ReleaseMediaFile();
    // Writes what the processors still hold at the end of the file.
    virtual void FlushStreams();

    // Waits for the worker and rethrows its failure, once.
    void JoinWorker();
    // Runs `push` under the lock; when the queue was empty and no worker is
    // active, starts one running `routine`. A worker still busy with its last
    // batch re-checks the queue under the same lock before it ends, so the
    // host never waits for media work here.
    template <typename Push, typename Routine>
    void Enqueue(Push&& push, Routine&& routine);
    // Ends a worker: stores the failure, if any, and marks the worker inactive.
    void EndWorker(std::exception_ptr error);

    std::shared_ptr<FormatContextInput> m_inputFormatContext;
    std::unique_ptr<FormatContextOutput> m_outputFormatContext;
    std::unique_ptr<StreamProcessorVideo> m_streamProcessorVideo;
    std::thread m_thread;
    std::mutex m_mutex;
    std::exception_ptr m_workerError;
    std::deque<MediaPacketList> m_packetsVideo;
    std::atomic<bool> m_stop{false};

    // Guarded by m_mutex: a worker is running and will look at the queue again.
    bool m_workerActive = false;
    // Host-thread lifecycle of the current file.
    bool m_headerWritten = false;
    // Why finishing the current file failed; set once flushing or the
    // trailer has failed, when the file can no longer get its index.
    std::exception_ptr m_finishError;

private:
    void RunWorkerVideo();
    void ProcessPacketsVideo(MediaPacketList packets);
};

template <typename Push, typename Routine>
void FfMpegFacadeBase::Enqueue(Push&& push, Routine&& routine)
{
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool wasEmpty = m_packetsVideo.empty();
        push();
        start = wasEmpty && !m_workerActive;
        m_workerActive = m_workerActive || start;
    }
    if (!start)
        return;
    try
    {
        // The previous worker has already left its loop; this join is brief.
        JoinWorker();
        m_thread = std::thread(std::forward<Routine>(routine));
    }
    catch (...)
    {
        // The entry stays queued with no worker, as after any worker failure.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_workerActive = false;
        throw;
    }
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
