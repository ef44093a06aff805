#include "facade/FfMpegFacadeBase.h"

#include "mux/Utf16.h"
#include "av/AvResult.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
constexpr const char* kAudioOnVideoOnly = "Audio-related call to video-only adapter";
}

FfMpegFacadeBase::FfMpegFacadeBase()
{
    // The log level is one variable for the whole process, read unguarded by
    // every FFmpeg call that logs: set by the first facade only, before it has
    // a thread, never while another facade's worker may be logging.
    static const bool quiet = (av_log_set_level(AV_LOG_ERROR), true);
    static_cast<void>(quiet);
}

void FfMpegFacadeBase::StartInitMediaFile(const std::wstring& filePath)
{
    if (m_outputFormatContext || m_inputFormatContext)
        throw FfMpegFacadeException("FfMpegFacadeBase::StartInitMediaFile",
                                    "m_outputFormatContext || m_inputFormatContext");
    // Both are made before either is kept: a name that fails leaves nothing
    // behind, and the host can name another file at once.
    auto output = std::make_unique<FormatContextOutput>(filePath);
    m_inputFormatContext = std::make_shared<FormatContextInput>();
    m_outputFormatContext = std::move(output);
}

void FfMpegFacadeBase::InitStreamVideo(std::unique_ptr<StreamParametersVideo> parameters)
{
    if (!m_inputFormatContext || !m_outputFormatContext)
        throw FfMpegFacadeException("FfMpegFacadeBase::InitStreamVideo",
                                    "m_inputFormatContext and m_outputFormatContext must be initialized first");
    if (m_streamProcessorVideo)
        throw FfMpegFacadeException("FfMpegFacadeBase::InitStreamVideo", "m_streamProcessorVideo already initialized");
    if (!parameters)
        throw FfMpegFacadeException("FfMpegFacadeBase::InitStreamVideo", "the record must not be null");
    // Packets are muxed by this index, so it must be the stream's place in the
    // output context; a count of calls would skip a number after a refusal.
    const auto index = static_cast<std::int32_t>(m_outputFormatContext->GetAvFormatContext()->nb_streams);
    auto processor = std::make_unique<StreamProcessorVideo>(index, *m_inputFormatContext, std::move(parameters));
    processor->Build(*m_outputFormatContext);
    m_streamProcessorVideo = std::move(processor);
}

void FfMpegFacadeBase::InitStreamAudio(std::unique_ptr<StreamParametersAudio>)
{
    throw FfMpegFacadeException(kAudioOnVideoOnly);
}

void FfMpegFacadeBase::FinishInitMediaFile()
{
    if (!m_outputFormatContext || !m_streamProcessorVideo)
        throw FfMpegFacadeException("FfMpegFacadeBase::FinishInitMediaFile",
                                    "m_outputFormatContext and m_streamProcessorVideo must be initialized first");
    if (m_headerWritten)
        throw FfMpegFacadeException("FfMpegFacadeBase::FinishInitMediaFile", "the file is already open");
    try
    {
        m_outputFormatContext->OpenAndWriteHeader();
    }
    catch (...)
    {
        // The muxer cannot be initialised twice: the host starts over from
        // StartInitMediaFile, with nothing of this file left open.
        ReleaseMediaFile();
        throw;
    }
    m_headerWritten = true;
}

void FfMpegFacadeBase::AddPacketsVideo(MediaPacketList packets)
{
    RequireOpenFile("FfMpegFacadeBase::AddPacketsVideo");
    Enqueue(WorkEntry{std::move(packets), {}}, "FfMpegFacadeBase::AddPacketsVideo");
}

void FfMpegFacadeBase::RequireOpenFile(const char* caller) const
{
    if (!m_headerWritten)
        throw FfMpegFacadeException(caller, "the file must be opened with FinishInitMediaFile first");
}

void FfMpegFacadeBase::AddPacketsAudioVideo(MediaPacketList, MediaPacketList)
{
    throw FfMpegFacadeException(kAudioOnVideoOnly);
}

std::int64_t FfMpegFacadeBase::SplitMediaFileAudioVideo(const std::wstring&, std::uint64_t, const MediaPacket&)
{
    throw FfMpegFacadeException(kAudioOnVideoOnly);
}

void FfMpegFacadeBase::Enqueue(WorkEntry entry, const char* caller)
{
    for (const MediaPacketList* list : {&entry.video, &entry.audio})
        if (std::find(list->begin(), list->end(), nullptr) != list->end())
            throw FfMpegFacadeException(caller, "the lists must not hold null records");
    if (m_failure || !GetWorker().Enqueue(std::move(entry)))
        JoinWorker();
}

SkippedPackets FfMpegFacadeBase::SkippedInFile() const
{
    return {m_streamProcessorVideo ? m_streamProcessorVideo->Skipped() : 0, 0};
}

void FfMpegFacadeBase::CountSkipped()
{
    const SkippedPackets file = SkippedInFile();
    m_skippedVideo = m_skippedBefore.video + file.video;
    m_skippedAudio = m_skippedBefore.audio + file.audio;
}

SkippedPackets FfMpegFacadeBase::GetSkippedPackets() const
{
    return {m_skippedVideo, m_skippedAudio};
}

void FfMpegFacadeBase::ProcessPacketsVideo(WorkEntry entry)
{
    // Each record is written as soon as it is processed: its payload is still
    // in cache when the muxer takes it. The order in the file is the same as
    // processing the whole batch first.
    for (auto& record : entry.video)
    {
        PacketSequence output = m_streamProcessorVideo->ProcessPacket(std::move(record));
        for (auto& packet : output)
            m_outputFormatContext->WritePacket(packet->packet);
    }
    CountSkipped();
}

void FfMpegFacadeBase::JoinWorker()
{
    if (const std::exception_ptr failure = GetWorker().Join(); failure && !m_failure)
        m_failure = failure;
    if (m_failure)
        std::rethrow_exception(m_failure);
}

void FfMpegFacadeBase::Stop()
{
    GetWorker().Stop();
    JoinWorker();
}

std::int64_t FfMpegFacadeBase::FinishMediaFile()
{
    try
    {
        JoinWorker();
    }
    catch (...)
    {
    }
    if (m_failure)
        return FinishFailedFile();
    // A file that was never opened has nothing to finish; drop what was set up
    // so that the next StartInitMediaFile can go ahead.
    if (!m_outputFormatContext || !m_headerWritten)
    {
        ReleaseMediaFile();
        return 0;
    }
    try
    {
        FlushStreams();
        CountSkipped();
        m_outputFormatContext->WriteTrailer();
    }
    catch (...)
    {
        m_failure = std::current_exception();
        m_finishTried = true;
        throw;
    }
    const std::int64_t size = m_outputFormatContext->CurrentPosition();
    const bool named = m_outputFormatContext->IsStillNamed();
    const std::string path = m_outputFormatContext->Path();
    ReleaseMediaFile();
    if (!named)
        throw FfMpegFacadeException(
            "FfMpegFacadeBase::FinishMediaFile",
            ("'" + path + "' was deleted, moved or replaced while it was written; the file finished is not there")
                .c_str());
    return size;
}

std::int64_t FfMpegFacadeBase::FinishFailedFile()
{
    // Once, what was written gets its index if the file still takes one; a
    // file without it does not play, so the failure is reported either way,
    // and the next finish closes the file whatever became of it. The muxer
    // may be torn down after a failed trailer: nothing is retried then.
    const std::exception_ptr failure = m_failure;
    if (!m_finishTried && m_headerWritten)
    {
        m_finishTried = true;
        try
        {
            FlushStreams();
            m_outputFormatContext->WriteTrailer();
        }
        catch (...)
        {
            std::rethrow_exception(failure);
        }
    }
    ReleaseMediaFile();
    std::rethrow_exception(failure);
}

void FfMpegFacadeBase::FlushStreams()
{
    if (!m_streamProcessorVideo)
        return;
    PacketSequence output = m_streamProcessorVideo->Flush();
    for (auto& packet : output)
        m_outputFormatContext->WritePacket(packet->packet);
}

void FfMpegFacadeBase::ReleaseMediaFile()
{
    // The counts the job published last are the file's final ones.
    m_skippedBefore = GetSkippedPackets();
    // Entries that a failed or stopped worker left queued belong to this
    // file. Left in the queue they would also keep the next file's add calls
    // from ever starting a run.
    GetWorker().Clear();
    auto processor = std::move(m_streamProcessorVideo);
    processor.reset();
    auto output = std::move(m_outputFormatContext);
    output.reset();
    auto input = std::move(m_inputFormatContext);
    input.reset();
    m_headerWritten = false;
    m_failure = nullptr;
    m_finishTried = false;
}

std::int64_t FfMpegFacadeBase::SplitMediaFileVideo(const std::wstring& filePath, std::uint64_t videoStart)
{
    if (!m_streamProcessorVideo)
        throw FfMpegFacadeException("FfMpegFacadeBase::SplitMediaFileVideo",
                                    "m_streamProcessorVideo must be initialized first");
    RefuseSplitIntoItself(filePath, "FfMpegFacadeBase::SplitMediaFileVideo");
    // Copied first: finishing releases the processor that holds the record.
    auto parameters = std::make_unique<StreamParametersVideo>(m_streamProcessorVideo->Parameters());
    parameters->startTime = videoStart;
    const std::int64_t size = FinishMediaFile();
    StartInitMediaFile(filePath);
    InitStreamVideo(std::move(parameters));
    FinishInitMediaFile();
    return size;
}

void FfMpegFacadeBase::RefuseSplitIntoItself(const std::wstring& filePath, const char* caller) const
{
    if (!m_outputFormatContext)
        return;
    std::string path;
    try
    {
        path = Utf16ToUtf8(filePath);
    }
    catch (const std::range_error&)
    {
        return; // StartInitMediaFile refuses it, as for any file
    }
    if (m_outputFormatContext->IsWrittenAs(path))
        throw FfMpegFacadeException(caller, ("'" + path + "' is the file being written").c_str());
}

std::int64_t FfMpegFacadeBase::EstimateFileSize(std::int64_t remaining, std::int64_t done)
{
    JoinWorker();
    if (!m_headerWritten)
        throw FfMpegFacadeException("FfMpegFacadeBase::EstimateFileSize", "no file is open");
    // What remains cannot take bytes away.
    if (remaining < 0)
        throw FfMpegFacadeException("FfMpegFacadeBase::EstimateFileSize", "remaining must not be negative");
    const std::int64_t position = m_outputFormatContext->CurrentPosition();
    // Nothing done yet gives nothing to project from.
    if (done <= 0)
        return position;
    // av_rescale answers INT64_MIN where the product does not fit; a
    // projection past the largest size saturates instead of wrapping.
    const std::int64_t projected = av_rescale(remaining, position, done);
    if ((remaining > 0 && projected == INT64_MIN) || projected > INT64_MAX - position)
        return INT64_MAX;
    return projected + position;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
