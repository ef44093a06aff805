#include "facade/FfMpegFacadeSynchronized.h"

#include <algorithm>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

void FfMpegFacadeSynchronized::InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters)
{
    InitAudio(std::move(parameters), true);
}

void FfMpegFacadeSynchronized::InitAudio(std::unique_ptr<StreamParametersAudio> parameters, bool probeEncoder)
{
    if (!HasInput() || !HasVideo())
        throw FfMpegFacadeException(
            "FfMpegFacadeSynchronized::InitStreamAudio",
            "m_inputFormatContext, m_outputFormatContext and m_streamProcessorVideo must be initialized first");
    if (m_streamProcessorAudio)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::InitStreamAudio",
                                    "m_streamProcessorAudio already initialized");
    if (!parameters)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::InitStreamAudio", "the record must not be null");

    // The stream's place in the output context, as for the video stream.
    const auto index = static_cast<std::int32_t>(Output().GetAvFormatContext()->nb_streams);
    // The stream refuses a timeScale that is not positive before it divides
    // anything below.
    auto inputStream = std::make_unique<StreamAudio>(index, Input(), *parameters, probeEncoder);
    const std::int32_t offset = Video().OffsetIn(parameters->timeScale);
    const bool hasAdtsHeaders = inputStream->HasAdtsHeaders();
    const std::int32_t timeScale = parameters->timeScale;
    auto processor = std::make_unique<StreamProcessorAudio>(offset, timeScale, std::move(inputStream),
                                                            Video().StartTime(), hasAdtsHeaders, std::move(parameters));
    if (hasAdtsHeaders)
        processor->InitBitstreamFilter();
    processor->Build(Output(), m_silenceCache);
    m_streamProcessorAudio = std::move(processor);
}

void FfMpegFacadeSynchronized::FinishInitMediaFile()
{
    if (HasInput() && HasVideo() && !m_streamProcessorAudio)
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
    RequireOpenFile("FfMpegFacadeSynchronized::AddPacketsAudioVideo");
    Enqueue(WorkEntry{std::move(videoPackets), std::move(audioPackets)},
            "FfMpegFacadeSynchronized::AddPacketsAudioVideo");
}

void FfMpegFacadeSynchronized::ProcessPacketsAudioVideo(WorkEntry entry)
{
    // An entry without video still carries audio, and one without audio
    // still carries video: each goes on on its own. The video comes first,
    // so that the audio of the same stretch finds it.
    PacketSequence video = Video().Process(std::move(entry.video));
    PacketSequence audio;
    m_placement->AddVideo(video, Video().OutputTimeBase(), audio);
    for (auto& packet : m_streamProcessorAudio->Time(std::move(entry.audio)))
        m_placement->AddAudio(std::move(packet), audio);
    Write(std::move(video), std::move(audio));
    CountSkipped();
}

void FfMpegFacadeSynchronized::FlushStreams()
{
    if (!m_placement)
        return;
    PacketSequence video = Video().Flush();
    PacketSequence audio;
    m_placement->AddVideo(video, Video().OutputTimeBase(), audio);
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

void FfMpegFacadeSynchronized::Write(PacketSequence video, PacketSequence audio)
{
    // The muxer interleaves the two by their times.
    for (PacketSequence* packets : {&video, &audio})
        for (auto& packet : *packets)
        {
            Output().WritePacket(packet->packet);
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
    if (!HasVideo() || !m_streamProcessorAudio)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::SplitMediaFileAudioVideo",
                                    "m_streamProcessorVideo and m_streamProcessorAudio must be initialized first");
    RefuseSplitIntoItself(filePath, "FfMpegFacadeSynchronized::SplitMediaFileAudioVideo");
    // Copied first: finishing releases the processors that hold the records.
    auto video = std::make_unique<StreamParametersVideo>(Video().Parameters());
    video->startTime = videoStart;
    auto audio = std::make_unique<StreamParametersAudio>(m_streamProcessorAudio->Parameters());
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
