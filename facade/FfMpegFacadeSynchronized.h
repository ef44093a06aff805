#pragma once

#include "facade/FfMpegFacadeBase.h"
#include "sync/AudioPlacement.h"
#include "audio/StreamProcessorAudio.h"

#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Video and audio export. Every add call carries one video and one audio list
// for about the same stretch of time; the worker writes the video as it comes
// and places the audio on the host's clock against it (AudioPlacement).
class FfMpegFacadeSynchronized final : public FfMpegFacadeBase
{
public:

    void InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters) override;
    void FinishInitMediaFile() override;
    void AddPacketsVideo(MediaPacketList packets) override;
    void AddPacketsAudioVideo(MediaPacketList videoPackets, MediaPacketList audioPackets) override;
    std::int64_t SplitMediaFileAudioVideo(const std::wstring& filePath, std::uint64_t videoStart,
                                          const MediaPacket& firstAudioPacket) override;
    std::int64_t SplitMediaFileVideo(const std::wstring& filePath, std::uint64_t videoStart) override;

protected:
    Worker& GetWorker() override { return m_worker; }
    void ReleaseMediaFile() override;
    void FlushStreams() override;
    SkippedPackets SkippedInFile() const override;

private:
    // The job: one add call's video, then its audio against it.
    void ProcessPacketsAudioVideo(WorkEntry entry);
    // InitStreamAudio; a split passes false for the encoder probe, which the
    // file it follows made for the same record.
    void InitAudio(std::unique_ptr<StreamParametersAudio> parameters, bool probeEncoder);
    // Writes the video, then the audio that AudioPlacement released.
    void Write(PacketSequence video, PacketSequence audio);

    std::unique_ptr<StreamProcessorAudio> m_streamProcessorAudio;
    // Once the file is open; drives the audio processor's track.
    std::unique_ptr<AudioPlacement> m_placement;
    SilenceCache m_silenceCache; // host thread only; outlives the files it serves
    Worker m_worker{[this](WorkEntry entry) { ProcessPacketsAudioVideo(std::move(entry)); }};
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
