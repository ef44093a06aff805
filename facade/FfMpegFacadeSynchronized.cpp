#include "facade/FfMpegFacadeSynchronized.h"

#include <algorithm>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

FfMpegFacadeSynchronized::~FfMpegFacadeSynchronized()
{
    // The worker uses this class's members, which go before the base's
    // destructor would stop it.
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void FfMpegFacadeSynchronized::InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters)
{
    InitAudio(std::move(parameters), true);
}

void FfMpegFacadeSynchronized::InitAudio(std::unique_ptr<StreamParametersAudio> parameters, bool probeEncoder)
{
    if (!m_inputFormatContext || !m_outputFormatContext || !m_streamProcessorVideo)
        throw FfMpegFacadeException(
            "FfMpegFacadeSynchronized::InitStreamAudio",
            "m_inputFormatContext, m_outputFormatContext and m_streamProcessorVideo must be initialized first");
    if (m_streamProcessorAudio)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::InitStreamAudio",
                                    "m_streamProcessorAudio already initialized");
    if (!parameters)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::InitStreamAudio", "the record must not be null");

    // The stream's place in the output context, as for the video stream.
    const auto index = static_cast<std::int32_t>(m_outputFormatContext->GetAvFormatContext()->nb_streams);
    // The stream refuses a timeScale that is not positive before it divides
    // anything below.
    auto inputStream = std::make_unique<StreamAudio>(index, *m_inputFormatContext, *parameters, probeEncoder);
    const StreamProcessorVideo& video = *m_streamProcessorVideo;
    // The video offset in audio ticks, in 32-bit arithmetic as hosts compute
    // it: the product wraps, the quotient truncates.
    const auto product =
        static_cast<std::int32_t>(static_cast<std::int64_t>(video.m_timestampOffset) * video.m_timeScale);
    const std::int32_t offset = product / parameters->timeScale;
    const bool hasAdtsHeaders = inputStream->HasAdtsHeaders();
    const std::int32_t timeScale = parameters->timeScale;
    auto processor = std::make_unique<StreamProcessorAudio>(offset, timeScale, std::move(inputStream), video.m_startTime,
                                                            hasAdtsHeaders, std::move(parameters));
    if (hasAdtsHeaders)
        processor->InitBitstreamFilter();
    processor->Build(*m_outputFormatContext, m_silenceCache);
    m_streamProcessorAudio = std::move(processor);
}

void FfMpegFacadeSynchronized::FinishInitMediaFile()
{
    if (m_outputFormatContext && m_streamProcessorVideo && !m_streamProcessorAudio)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::FinishInitMediaFile",
                                    "m_streamProcessorAudio must be initialized first");
    FfMpegFacadeBase::FinishInitMediaFile();
    m_placement = std::make_unique<AudioPlacement>(m_streamProcessorAudio->Track(), m_streamProcessorAudio->TimeBase());
}

void FfMpegFacadeSynchronized::AddPacketsVideo(MediaPacketList)
{
    throw FfMpegFacadeException("FfMpegFacadeSynchronized::AddPacketsVideo",
                                "the audio/video facade takes packets through AddPacketsAudioVideo");
}

void FfMpegFacadeSynchronized::AddPacketsAudioVideo(MediaPacketList videoPackets, MediaPacketList audioPackets)
{
    if (!m_headerWritten)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::AddPacketsAudioVideo",
                                    "the file must be opened with FinishInitMediaFile first");
    Enqueue(Entry{std::move(videoPackets), std::move(audioPackets)}, "FfMpegFacadeSynchronized::AddPacketsAudioVideo");
}

void FfMpegFacadeSynchronized::ProcessEntry(Entry entry)
{
    // An entry without video still carries audio, and one without audio
    // still carries video: each goes on on its own. The video comes first,
    // so that the audio of the same stretch finds it.
    PacketSequence video = m_streamProcessorVideo->Process(std::move(entry.video));
    PacketSequence audio;
    m_placement->AddVideo(video, VideoTimeBase(), audio);
    for (auto& packet : m_streamProcessorAudio->Time(std::move(entry.audio)))
        m_placement->AddAudio(std::move(packet), audio);
    Write(std::move(video), std::move(audio));
}

void FfMpegFacadeSynchronized::FlushStreams()
{
    if (!m_placement)
        return;
    PacketSequence video = m_streamProcessorVideo->Flush();
    PacketSequence audio;
    m_placement->AddVideo(video, VideoTimeBase(), audio);
    m_placement->Finish(audio);
    Write(std::move(video), std::move(audio));
}

SkippedPackets FfMpegFacadeSynchronized::SkippedInFile() const
{
    SkippedPackets skipped = FfMpegFacadeBase::SkippedInFile();
    if (m_streamProcessorAudio && m_placement)
        skipped.audio = m_streamProcessorAudio->Skipped() + m_placement->Unusable();
    return skipped;
}

AVRational FfMpegFacadeSynchronized::VideoTimeBase() const
{
    // Fixed by the muxer when it wrote the header.
    return m_streamProcessorVideo->m_outputStream->GetAvStream()->time_base;
}

void FfMpegFacadeSynchronized::Write(PacketSequence video, PacketSequence audio)
{
    // The muxer interleaves the two by their times.
    for (PacketSequence* packets : {&video, &audio})
        for (auto& packet : *packets)
        {
            m_outputFormatContext->WritePacket(packet->packet);
            packet.reset();
        }
}

void FfMpegFacadeSynchronized::ReleaseMediaFile()
{
    // Audio waiting for its video belongs to the file being released.
    auto placement = std::move(m_placement);
    placement.reset();
    auto processor = std::move(m_streamProcessorAudio);
    processor.reset();
    FfMpegFacadeBase::ReleaseMediaFile();
}

std::int64_t FfMpegFacadeSynchronized::SplitMediaFileAudioVideo(const std::wstring& filePath, std::uint64_t videoStart,
                                                                const MediaPacket& firstAudioPacket)
{
    if (!m_streamProcessorVideo || !m_streamProcessorAudio)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::SplitMediaFileAudioVideo",
                                    "m_streamProcessorVideo and m_streamProcessorAudio must be initialized first");
    RefuseSplitIntoItself(filePath, "FfMpegFacadeSynchronized::SplitMediaFileAudioVideo");
    // Copied first: finishing releases the processors that hold the records.
    auto video = std::make_unique<StreamParametersVideo>(*m_streamProcessorVideo->m_parameters);
    video->startTime = videoStart;
    auto audio = std::make_unique<StreamParametersAudio>(*m_streamProcessorAudio->m_parameters);
    audio->startTime = firstAudioPacket.timestamp;
    // The leading bytes tell whether the next file's audio is ADTS-framed; a
    // shorter packet gives what it has.
    const std::size_t headerSize = std::min<std::size_t>(8, firstAudioPacket.data.size());
    audio->firstPacketHeader.assign(firstAudioPacket.data.begin(), firstAudioPacket.data.begin() + headerSize);

    const std::int64_t size = FinishMediaFile();
    StartInitMediaFile(filePath);
    InitStreamVideo(std::move(video));
    InitAudio(std::move(audio), false);
    FinishInitMediaFile();
    return size;
}

std::int64_t FfMpegFacadeSynchronized::SplitMediaFileVideo(const std::wstring&, std::uint64_t)
{
    throw FfMpegFacadeException("FfMpegFacadeSynchronized::SplitMediaFileVideo",
                                "the audio/video facade splits through SplitMediaFileAudioVideo");
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
