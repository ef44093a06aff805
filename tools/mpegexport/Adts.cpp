#include "Adts.h"

#include <stdexcept>
#include <string>

namespace mpegexport
{
namespace
{
class BitReader
{
public:
    explicit BitReader(const std::vector<std::uint8_t>& data)
        : m_data(data)
    {
    }

    unsigned Read(int bits)
    {
        unsigned value = 0;
        for (int i = 0; i < bits; ++i, ++m_position)
        {
            if (m_position / 8 >= m_data.size())
                throw std::runtime_error("the AudioSpecificConfig is truncated");
            value = (value << 1) | ((m_data[m_position / 8] >> (7 - m_position % 8)) & 1u);
        }
        return value;
    }

    unsigned ObjectType()
    {
        const unsigned type = Read(5);
        return type == 31 ? 32 + Read(6) : type;
    }

    unsigned FrequencyIndex()
    {
        const unsigned index = Read(4);
        if (index == 15)
            throw std::runtime_error("an explicit sampling rate cannot be put in ADTS frames");
        return index;
    }

private:
    const std::vector<std::uint8_t>& m_data;
    std::size_t m_position = 0;
};

constexpr unsigned kObjectTypeSbr = 5;
constexpr unsigned kObjectTypePs = 29;
constexpr std::size_t kHeaderSize = 7;
constexpr std::size_t kMaxFrameSize = (1u << 13) - 1; // the header's 13-bit length field
} // namespace

bool HasAdtsHeader(const std::vector<std::uint8_t>& data)
{
    // Twelve one bits, then MPEG version and a layer of 00.
    return data.size() >= kHeaderSize && data[0] == 0xFF && (data[1] & 0xF6) == 0xF0;
}

AdtsFramer::AdtsFramer(const std::vector<std::uint8_t>& audioSpecificConfig)
{
    if (audioSpecificConfig.empty())
        throw std::runtime_error("neither ADTS headers nor an AudioSpecificConfig");
    BitReader reader(audioSpecificConfig);
    unsigned objectType = reader.ObjectType();
    const unsigned frequencyIndex = reader.FrequencyIndex();
    const unsigned channels = reader.Read(4);
    // Explicitly signalled SBR or PS: ADTS describes the core stream, which
    // decoders extend implicitly.
    if (objectType == kObjectTypeSbr || objectType == kObjectTypePs)
    {
        reader.FrequencyIndex();
        objectType = reader.ObjectType();
    }
    if (objectType < 1 || objectType > 4)
        throw std::runtime_error("object type " + std::to_string(objectType) + " cannot be put in ADTS frames");
    if (channels == 0 || channels > 7)
        throw std::runtime_error("channel configuration " + std::to_string(channels) + " cannot be put in ADTS frames");
    m_profile = static_cast<int>(objectType - 1);
    m_frequencyIndex = static_cast<int>(frequencyIndex);
    m_channelConfiguration = static_cast<int>(channels);
}

std::vector<std::uint8_t> AdtsFramer::Frame(const std::vector<std::uint8_t>& payload) const
{
    const std::size_t length = kHeaderSize + payload.size();
    if (length > kMaxFrameSize)
        throw std::runtime_error("a frame of " + std::to_string(payload.size()) + " bytes is too long for ADTS");
    std::vector<std::uint8_t> frame;
    frame.reserve(length);
    frame.push_back(0xFF);
    frame.push_back(0xF1); // MPEG-4, layer 0, no checksum
    frame.push_back(static_cast<std::uint8_t>(m_profile << 6 | m_frequencyIndex << 2 | m_channelConfiguration >> 2));
    frame.push_back(static_cast<std::uint8_t>((m_channelConfiguration & 3) << 6 | length >> 11));
    frame.push_back(static_cast<std::uint8_t>(length >> 3));
    frame.push_back(static_cast<std::uint8_t>((length & 7) << 5 | 0x1F)); // buffer fullness 0x7FF: variable rate
    frame.push_back(0xFC);                                               // one raw data block
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

} // namespace mpegexport
