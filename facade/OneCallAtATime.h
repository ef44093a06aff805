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
// turns are fine, and see each other's calls complete. Each call is passed
// on as it is, under the name the refusal gives.
class OneCallAtATime final : public IFfMpegFacade
{
public:
    explicit OneCallAtATime(std::shared_ptr<IFfMpegFacade> facade) : m_facade(std::move(facade)) {}

    void StartInitMediaFile(const std::wstring& filePath) override
    {
        InTurn("IFfMpegFacade::StartInitMediaFile", [&] { m_facade->StartInitMediaFile(filePath); });
    }
    void InitStreamVideo(std::unique_ptr<StreamParametersVideo> parameters) override
    {
        InTurn("IFfMpegFacade::InitStreamVideo", [&] { m_facade->InitStreamVideo(std::move(parameters)); });
    }
    void InitStreamAudio(std::unique_ptr<StreamParametersAudio> parameters) override
    {
        InTurn("IFfMpegFacade::InitStreamAudio", [&] { m_facade->InitStreamAudio(std::move(parameters)); });
    }
    void FinishInitMediaFile() override
    {
        InTurn("IFfMpegFacade::FinishInitMediaFile", [&] { m_facade->FinishInitMediaFile(); });
    }
    void AddPacketsVideo(MediaPacketList packets) override
    {
        InTurn("IFfMpegFacade::AddPacketsVideo", [&] { m_facade->AddPacketsVideo(std::move(packets)); });
    }
    void AddPacketsAudioVideo(MediaPacketList videoPackets, MediaPacketList audioPackets) override
    {
        InTurn("IFfMpegFacade::AddPacketsAudioVideo",
               [&] { m_facade->AddPacketsAudioVideo(std::move(videoPackets), std::move(audioPackets)); });
    }
    std::int64_t FinishMediaFile() override
    {
        return InTurn("IFfMpegFacade::FinishMediaFile", [&] { return m_facade->FinishMediaFile(); });
    }
    std::int64_t SplitMediaFileAudioVideo(const std::wstring& filePath, std::uint64_t videoStart,
                                          const MediaPacket& firstAudioPacket) override
    {
        return InTurn("IFfMpegFacade::SplitMediaFileAudioVideo",
                      [&] { return m_facade->SplitMediaFileAudioVideo(filePath, videoStart, firstAudioPacket); });
    }
    std::int64_t SplitMediaFileVideo(const std::wstring& filePath, std::uint64_t videoStart) override
    {
        return InTurn("IFfMpegFacade::SplitMediaFileVideo",
                      [&] { return m_facade->SplitMediaFileVideo(filePath, videoStart); });
    }
    std::int64_t EstimateFileSize(std::int64_t remaining, std::int64_t done) override
    {
        return InTurn("IFfMpegFacade::EstimateFileSize", [&] { return m_facade->EstimateFileSize(remaining, done); });
    }
    void Stop() override
    {
        InTurn("IFfMpegFacade::Stop", [&] { m_facade->Stop(); });
    }
    // Any thread, any time: it only reads counters.
    SkippedPackets GetSkippedPackets() const override { return m_facade->GetSkippedPackets(); }

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

    template <typename Call> auto InTurn(const char* name, Call&& call) -> decltype(call())
    {
        const Turn turn(m_busy, name);
        return call();
    }

    std::shared_ptr<IFfMpegFacade> m_facade;
    std::atomic<bool> m_busy{false};
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
