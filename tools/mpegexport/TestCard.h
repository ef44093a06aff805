#pragma once

// The built-in input: a ten-second 1280x720 test card at 25 frames a second
// with a G.711 mu-law tone at 8 kHz, encoded in memory. Its packets can be
// read any number of times.

#include "Source.h"

#include <memory>

namespace mpegexport
{

class TestCard
{
public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 720;
    static constexpr int kFps = 25;
    static constexpr int kSeconds = 10;
    static constexpr int kSampleRate = 8000;

    // H.264 through libx264 where FFmpeg has it, MPEG-4 part 2 otherwise.
    // Throws std::runtime_error when no encoder works.
    TestCard();

    const SourceInfo& Info() const { return m_info; }
    std::unique_ptr<PacketSource> NewReader(bool withAudio) const;

private:
    SourceInfo m_info;
    std::vector<SourcePacket> m_packets;
    std::vector<SourcePacket> m_audioPackets;
};

} // namespace mpegexport
