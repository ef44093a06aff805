#include "streams/AudioHeaders.h"

#include <iterator>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

std::optional<AudioHeader> ReadAdtsHeader(const std::uint8_t* data, std::size_t size)
{
    // 12 bits of sync, 2 of profile, 4 of rate index, 3 of channel
    // configuration, 13 of frame length, 2 of raw data blocks less one.
    static constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
    constexpr std::size_t kHeaderSize = 7;
    if (size < kHeaderSize || data[0] != 0xFF || (data[1] & 0xF6) != 0xF0)
        return std::nullopt;
    const int profile = data[2] >> 6;
    const int rateIndex = (data[2] >> 2) & 0x0F;
    const int configuration = ((data[2] & 0x01) << 2) | (data[3] >> 6);
    const std::size_t frameLength =
        (static_cast<std::size_t>(data[3] & 0x03) << 11) | (static_cast<std::size_t>(data[4]) << 3) | (data[5] >> 5);
    // A header with a checksum (protection_absent 0) is two bytes longer.
    const std::size_t headerSize = (data[1] & 0x01) ? kHeaderSize : kHeaderSize + 2;
    if (rateIndex >= static_cast<int>(std::size(kRates)) || frameLength < headerSize)
        return std::nullopt;
    AudioHeader header;
    header.sampleRate = kRates[rateIndex];
    // Configuration 7 is 7.1: eight channels.
    header.channels = configuration == 7 ? 8 : configuration;
    header.samples = ((data[6] & 0x03) + 1) * 1024;
    const int objectType = profile + 1;
    header.audioSpecificConfig = {static_cast<std::uint8_t>((objectType << 3) | (rateIndex >> 1)),
                                  static_cast<std::uint8_t>(((rateIndex & 1) << 7) | (configuration << 3))};
    return header;
}

std::optional<AudioHeader> ReadMpegAudioHeader(const std::uint8_t* data, std::size_t size)
{
    // 11 bits of sync, 2 of version, 2 of layer, 1 of protection, 4 of bit
    // rate, 2 of rate index, 1 of padding, 1 private, 2 of channel mode.
    static constexpr int kRates[] = {44100, 48000, 32000};
    if (size < 4 || data[0] != 0xFF || (data[1] & 0xE0) != 0xE0)
        return std::nullopt;
    const int version = (data[1] >> 3) & 0x03; // 0: MPEG-2.5, 2: MPEG-2, 3: MPEG-1
    const int layer = (data[1] >> 1) & 0x03;   // 3: I, 2: II, 1: III
    const int bitRateIndex = data[2] >> 4;
    const int rateIndex = (data[2] >> 2) & 0x03;
    if (version == 1 || layer == 0 || bitRateIndex == 15 || rateIndex == 3)
        return std::nullopt;
    AudioHeader header;
    header.sampleRate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    header.channels = (data[3] >> 6) == 3 ? 1 : 2;
    header.samples = layer == 3 ? 384 : (layer == 1 && version != 3) ? 576 : 1152;
    return header;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
