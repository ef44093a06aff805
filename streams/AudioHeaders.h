#pragma once

// What the header of a compressed audio frame says about its stream: ADTS
// for AAC (ISO/IEC 14496-3, 1.A.2) and the MPEG audio header for MP2
// (ISO/IEC 11172-3, 2.4.1.3). libavcodec's AAC parser leaves the sample rate
// and channels unset on purpose (HE-AAC doubles them), and its MPEG audio
// parser reports them only after several frames, so the few fixed fields are
// read here. A stream's first frame header is all a host hands over before
// the file's header is written.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

struct AudioHeader
{
    int sampleRate = 0;
    int channels = 0; // 0: not in the header (AAC's program config element)
    int samples = 0;  // samples the frame carries
    // AAC: the AudioSpecificConfig that the MP4/MOV sample entry carries for
    // this stream (object type, rate index, channels), as "aac_adtstoasc"
    // builds it from the same header.
    std::vector<std::uint8_t> audioSpecificConfig;
};

// The header at the start of `data`, when it is a valid one.
std::optional<AudioHeader> ReadAdtsHeader(const std::uint8_t* data, std::size_t size);
std::optional<AudioHeader> ReadMpegAudioHeader(const std::uint8_t* data, std::size_t size);

} // namespace Halvaro::Oru::Shared::Export::Mpeg
