#pragma once

// ADTS framing. The library takes AAC only as ADTS frames, each packet with
// its own header; MP4 and Matroska inputs carry raw AAC and describe it once,
// in an AudioSpecificConfig.

#include <cstdint>
#include <vector>

namespace mpegexport
{

// True when `data` opens with an ADTS header's sync word.
bool HasAdtsHeader(const std::vector<std::uint8_t>& data);

class AdtsFramer
{
public:
    // Throws std::runtime_error naming what ADTS cannot express (an object
    // type other than Main, LC, SSR or LTP, an explicit sampling rate, a
    // channel layout given by a program config element).
    explicit AdtsFramer(const std::vector<std::uint8_t>& audioSpecificConfig);

    // The raw frame behind a 7-byte header without checksum. Throws
    // std::runtime_error when the frame is too long for one ADTS frame.
    std::vector<std::uint8_t> Frame(const std::vector<std::uint8_t>& payload) const;

private:
    int m_profile = 0; // object type - 1
    int m_frequencyIndex = 0;
    int m_channelConfiguration = 0;
};

} // namespace mpegexport
