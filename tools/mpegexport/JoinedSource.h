#pragma once

// The video of one source with the audio of another (--audio FILE). Both
// clocks start at their own first packet.

#include "Source.h"

#include <memory>

namespace mpegexport
{

class JoinedSource final : public PacketSource
{
public:
    JoinedSource(std::unique_ptr<PacketSource> video, std::unique_ptr<PacketSource> audio)
        : m_video(std::move(video)), m_audio(std::move(audio)), m_info(m_video->Info())
    {
        m_info.audio = m_audio->Info().audio;
    }

    const SourceInfo& Info() const override { return m_info; }
    bool Next(SourcePacket& packet) override { return m_video->Next(packet); }
    bool NextAudio(SourcePacket& packet) override { return m_audio->NextAudio(packet); }
    double Fraction() const override { return m_video->Fraction(); }
    std::vector<std::string> Notes() const override
    {
        std::vector<std::string> notes = m_video->Notes();
        for (std::string& note : m_audio->Notes())
            notes.push_back(std::move(note));
        return notes;
    }

private:
    std::unique_ptr<PacketSource> m_video;
    std::unique_ptr<PacketSource> m_audio;
    SourceInfo m_info;
};

} // namespace mpegexport
