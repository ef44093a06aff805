#pragma once

#include "facade/FfMpegFacadeBase.h"
#include "transcoding/StreamProcessorAudio.h"

#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Video and audio export. Every add call carries one video and one audio list
// for about the same stretch of time; the worker processes both and hands the
// results to the output context in pairs, holding one stream's output back
// while the other has produced nothing, so that the writer can fill audio
// gaps with silence against the video it is given.
class FfMpegFacadeSynchronized final : public FfMpegFacadeBase
{
public:
    FfMpegFacadeSynchronized() = default;
    ~FfMpegFacadeSynchronized() override;

    void InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters) override;
    void FinishInitMediaFile() override;
    void AddPacketsVideo(MediaPacketList packets) override;
    void AddPacketsAudioVideo(MediaPacketList videoPackets, MediaPacketList audioPackets) override;
    std::int64_t SplitMediaFileAudioVideo(const std::wstring& filePath, std::uint64_t videoStart,
                                          const MediaPacket& firstAudioPacket) override;
    std::int64_t SplitMediaFileVideo(const std::wstring& filePath, std::uint64_t videoStart) override;

protected:
    void ReleaseMediaFile() override;
    void FlushStreams() override;
    void ProcessEntry(Entry entry) override;

private:
    // InitStreamAudio; a split passes false for the encoder probe, which the
    // file it follows made for the same record.
    void InitAudio(std::unique_ptr<StreamParametersAudio> parameters, bool probeEncoder);
    void WriteBatches(PacketSequence video, PacketSequence audio);

    std::unique_ptr<StreamProcessorAudio> m_streamProcessorAudio;
    PacketSequence m_pendingVideo; // worker only, or the host after JoinWorker
    PacketSequence m_pendingAudio;
    SilenceCache m_silenceCache; // host thread only; outlives the files it serves
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
