#include "facade/FfMpegFacadeSynchronized.h"

#include <algorithm>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
void Append(PacketSequence& to, PacketSequence& from)
{
    std::move(from.begin(), from.end(), std::back_inserter(to));
    from.clear();
}
} // namespace

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
    processor->Build(*m_outputFormatContext);
    m_streamProcessorAudio = std::move(processor);

    const bool globalHeader =
        (m_outputFormatContext->GetAvFormatContext()->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    std::unique_ptr<OwnedPacket> silence = m_streamProcessorAudio->CreateSilentPacket(globalHeader, m_silenceCache);
    m_outputFormatContext->m_silenceDuration = silence->packet.duration;
    m_outputFormatContext->m_silenceDivisible =
        IsPcmFrameSizeCodec(m_streamProcessorAudio->m_outputStream->GetCodecParameters()->codec_id);
    m_outputFormatContext->m_silencePacket = std::move(silence);
    m_outputFormatContext->m_lastAudioTimestamp = 0;
}

void FfMpegFacadeSynchronized::FinishInitMediaFile()
{
    if (m_outputFormatContext && m_streamProcessorVideo && !m_streamProcessorAudio)
        throw FfMpegFacadeException("FfMpegFacadeSynchronized::FinishInitMediaFile",
                                    "m_streamProcessorAudio must be initialized first");
    FfMpegFacadeBase::FinishInitMediaFile();
    m_outputFormatContext->m_audioTimeBase = m_streamProcessorAudio->m_outputStream->GetAvStream()->time_base;
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
    if (videoPackets.empty() && audioPackets.empty())
        return;
    Enqueue(Entry{std::move(videoPackets), std::move(audioPackets)}, "FfMpegFacadeSynchronized::AddPacketsAudioVideo");
}

void FfMpegFacadeSynchronized::ProcessEntry(Entry entry)
{
    // An entry without video still carries audio: it is processed and held
    // back like any other, not dropped.
    PacketSequence video = m_streamProcessorVideo->Process(std::move(entry.video));
    if (!video.empty())
        m_streamProcessorAudio->SetVideoExtent(m_streamProcessorVideo->CoveredFrom(), video.back()->packet.pts,
                                               m_outputFormatContext->m_videoTimeBase);
    PacketSequence audio = m_streamProcessorAudio->Process(std::move(entry.audio));
    WriteBatches(std::move(video), std::move(audio));
}

void FfMpegFacadeSynchronized::WriteBatches(PacketSequence video, PacketSequence audio)
{
    if (m_pendingVideo.empty() && m_pendingAudio.empty() && !video.empty() && !audio.empty())
    {
        m_outputFormatContext->WriteSynchronized(std::move(video), std::move(audio));
        return;
    }
    Append(m_pendingVideo, video);
    Append(m_pendingAudio, audio);
    if (m_pendingVideo.empty() || m_pendingAudio.empty())
        return;
    PacketSequence heldVideo = std::move(m_pendingVideo);
    PacketSequence heldAudio = std::move(m_pendingAudio);
    m_pendingVideo.clear();
    m_pendingAudio.clear();
    m_outputFormatContext->WriteSynchronized(std::move(heldVideo), std::move(heldAudio));
}

void FfMpegFacadeSynchronized::FlushStreams()
{
    PacketSequence video = m_streamProcessorVideo ? m_streamProcessorVideo->Flush() : PacketSequence{};
    PacketSequence audio = m_streamProcessorAudio && m_streamProcessorAudio->m_transcoder
                               ? m_streamProcessorAudio->m_transcoder->Flush()
                               : PacketSequence{};
    Append(m_pendingVideo, video);
    Append(m_pendingAudio, audio);
    PacketSequence heldVideo = std::move(m_pendingVideo);
    PacketSequence heldAudio = std::move(m_pendingAudio);
    m_pendingVideo.clear();
    m_pendingAudio.clear();
    if (!heldVideo.empty())
    {
        m_outputFormatContext->WriteSynchronized(std::move(heldVideo), std::move(heldAudio));
        return;
    }
    for (auto& packet : heldAudio)
    {
        m_outputFormatContext->WritePacket(packet->packet);
        packet.reset();
    }
}

void FfMpegFacadeSynchronized::ReleaseMediaFile()
{
    auto processor = std::move(m_streamProcessorAudio);
    processor.reset();
    // Held-back packets belong to the file being released, never to the next.
    m_pendingVideo.clear();
    m_pendingAudio.clear();
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
