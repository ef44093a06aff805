#pragma once

#include "facade/Worker.h"
#include "mux/FormatContext.h"
#include "video/StreamProcessorVideo.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Video-only export, and the file lifecycle the synchronized facade builds
// on. The host calls it from one thread at a time; batches are written by a
// Worker that the most derived facade holds as its last member (GetWorker),
// running that facade's own job. The job alone touches the processors and
// the output context while it runs; the host touches them only after waiting
// for it (JoinWorker).
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
    SkippedPackets GetSkippedPackets() const override;

protected:
    // The worker of the most derived facade.
    virtual Worker& GetWorker() = 0;
    // Drops the processors and both contexts (closing the file) and the
    // entries still queued for the file; the stop flag stays.
    virtual void ReleaseMediaFile();
    // Writes what the processors still hold at the end of the file.
    virtual void FlushStreams();
    // The current file's packets left out so far (the job, or the host after JoinWorker).
    virtual SkippedPackets SkippedInFile() const;

    // The video-only job: each picture written as soon as it is processed.
    void ProcessPacketsVideo(WorkEntry entry);
    // Publishes the counts; the jobs call it after each entry.
    void CountSkipped();
    // Queues the entry for the worker. An entry with a null record is refused
    // whole, in the name of the add call `caller`, and nothing is taken for a
    // file that can no longer be written.
    void Enqueue(WorkEntry entry, const char* caller);
    // Waits for the worker; rethrows the failure that stopped writing the
    // current file, if any (every call until the file is finished).
    void JoinWorker();
    // A split into the file being written would overwrite what it has just
    // finished: refused in the name of `caller` before anything is finished.
    void RefuseSplitIntoItself(const std::wstring& filePath, const char* caller) const;
    // Throws in the name of `caller` unless the file is open (its header written).
    void RequireOpenFile(const char* caller) const;

    bool HasInput() const { return m_inputFormatContext && m_outputFormatContext; }
    FormatContextInput& Input() const { return *m_inputFormatContext; }
    FormatContextOutput& Output() const { return *m_outputFormatContext; }
    bool HasVideo() const { return m_streamProcessorVideo != nullptr; }
    StreamProcessorVideo& Video() const { return *m_streamProcessorVideo; }

private:
    // FinishMediaFile for a file whose writing failed.
    std::int64_t FinishFailedFile();

    std::shared_ptr<FormatContextInput> m_inputFormatContext;
    std::unique_ptr<FormatContextOutput> m_outputFormatContext;
    std::unique_ptr<StreamProcessorVideo> m_streamProcessorVideo;
    // Host-thread lifecycle of the current file.
    bool m_headerWritten = false;
    // What stopped writing the current file (a full disk, a failed trailer):
    // every later call on it throws this until FinishMediaFile has closed it.
    std::exception_ptr m_failure;
    // FinishMediaFile has tried to give the failed file its index.
    bool m_finishTried = false;
    // Packets left out because they could not be used, in files before the current one.
    SkippedPackets m_skippedBefore;
    // Those and the current file's, as the job last counted them.
    std::atomic<std::int64_t> m_skippedVideo{0};
    std::atomic<std::int64_t> m_skippedAudio{0};
};

// The video-only facade as the host gets it: with its worker.
class FfMpegFacadeVideo final : public FfMpegFacadeBase
{
protected:
    Worker& GetWorker() override { return m_worker; }

private:
    Worker m_worker{[this](WorkEntry entry) { ProcessPacketsVideo(std::move(entry)); }};
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
