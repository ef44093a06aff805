#include "facade/OneCallAtATime.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

OneCallAtATime::Turn::Turn(std::atomic<bool>& busy, const char* name) : m_busy(busy)
{
    if (m_busy.exchange(true, std::memory_order_acquire))
        throw FfMpegFacadeException(name, "called while another thread is in a call on the same facade");
}

OneCallAtATime::Turn::~Turn()
{
    m_busy.store(false, std::memory_order_release);
}

OneCallAtATime::OneCallAtATime(std::shared_ptr<IFfMpegFacade> facade) : m_facade(std::move(facade))
{
}

void OneCallAtATime::StartInitMediaFile(const std::wstring& filePath)
{
    const Turn turn(m_busy, "IFfMpegFacade::StartInitMediaFile");
    m_facade->StartInitMediaFile(filePath);
}

void OneCallAtATime::InitStreamVideo(std::unique_ptr<StreamParametersVideo> parameters)
{
    const Turn turn(m_busy, "IFfMpegFacade::InitStreamVideo");
    m_facade->InitStreamVideo(std::move(parameters));
}

void OneCallAtATime::InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters)
{
    const Turn turn(m_busy, "IFfMpegFacade::InitStreamAudio");
    m_facade->InitStreamAudio(std::move(parameters));
}

void OneCallAtATime::FinishInitMediaFile()
{
    const Turn turn(m_busy, "IFfMpegFacade::FinishInitMediaFile");
    m_facade->FinishInitMediaFile();
}

void OneCallAtATime::AddPacketsVideo(MediaPacketList packets)
{
    const Turn turn(m_busy, "IFfMpegFacade::AddPacketsVideo");
    m_facade->AddPacketsVideo(std::move(packets));
}

void OneCallAtATime::AddPacketsAudioVideo(MediaPacketList videoPackets, MediaPacketList audioPackets)
{
    const Turn turn(m_busy, "IFfMpegFacade::AddPacketsAudioVideo");
    m_facade->AddPacketsAudioVideo(std::move(videoPackets), std::move(audioPackets));
}

std::int64_t OneCallAtATime::FinishMediaFile()
{
    const Turn turn(m_busy, "IFfMpegFacade::FinishMediaFile");
    return m_facade->FinishMediaFile();
}

std::int64_t OneCallAtATime::SplitMediaFileAudioVideo(const std::wstring& filePath, std::uint64_t videoStart,
                                                      const MediaPacket& firstAudioPacket)
{
    const Turn turn(m_busy, "IFfMpegFacade::SplitMediaFileAudioVideo");
    return m_facade->SplitMediaFileAudioVideo(filePath, videoStart, firstAudioPacket);
}

std::int64_t OneCallAtATime::SplitMediaFileVideo(const std::wstring& filePath, std::uint64_t videoStart)
{
    const Turn turn(m_busy, "IFfMpegFacade::SplitMediaFileVideo");
    return m_facade->SplitMediaFileVideo(filePath, videoStart);
}

std::int64_t OneCallAtATime::EstimateFileSize(std::int64_t remaining, std::int64_t done)
{
    const Turn turn(m_busy, "IFfMpegFacade::EstimateFileSize");
    return m_facade->EstimateFileSize(remaining, done);
}

void OneCallAtATime::Stop()
{
    const Turn turn(m_busy, "IFfMpegFacade::Stop");
    m_facade->Stop();
}

SkippedPackets OneCallAtATime::GetSkippedPackets() const
{
    return m_facade->GetSkippedPackets();
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
