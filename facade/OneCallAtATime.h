#pragma once

#include <mpegexporter/IFfMpegFacade.h>

#include <atomic>
#include <memory>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Hosts call a facade from one thread at a time. Calls that overlap from
// several threads would race on the facade's state (a crash, a hang, a file
// left empty); this front refuses the later one with FfMpegFacadeException
// instead, at the cost of one atomic exchange a call. Threads that take
// turns are fine, and see each other's calls complete.
class OneCallAtATime final : public IFfMpegFacade
{
public:
    explicit OneCallAtATime(std::shared_ptr<IFfMpegFacade> facade);

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
    // Any thread, any time: it only reads counters.
    SkippedPackets GetSkippedPackets() const override;

private:
    // Holds the facade for one call, or refuses the call in `name`.
    class Turn
    {
    public:
        Turn(std::atomic<bool>& busy, const char* name);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        std::atomic<bool>& m_busy;
    };

    std::shared_ptr<IFfMpegFacade> m_facade;
    std::atomic<bool> m_busy{false};
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
