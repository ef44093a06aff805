#pragma once

// Stream descriptions a host fills and hands to the facade with single
// ownership. Time: startTime is on the host's packet clock (unsigned, 100-ns
// units); timeScale is ticks per second of the stream's own time base (for
// audio also the sample rate).

#include <cstdint>
#include <vector>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

enum class MediaType : std::int32_t
{
    Video = 0,
    Audio = 1,
};

enum class CodecIdVideo : std::int32_t
{
    Undefined = -1,
    None = 0,
    Mjpeg = 1,
    Mpeg4 = 2,
    H263 = 3,
    Bmp = 4,
    Unsupported = 5, // declared by hosts, never accepted
    H264 = 6,
    H265 = 7,
};

enum class CodecIdAudio : std::int32_t
{
    Undefined = -1,
    None = 0,
    G726 = 1,   // ADPCM G.726, big-endian bit packing
    G726le = 2, // ADPCM G.726, little-endian bit packing
    PcmMulaw = 3,
    PcmAlaw = 4,
    PcmS16be = 5,
    Mp2 = 6,
    Aac = 7,
};

// Audio streams are always declared mono; `channels` is passed through as is.
enum class ChannelLayout : std::int32_t
{
    Undefined = -1,
    Mono = 0,
};

struct CodecConfiguration
{
    MediaType mediaType = MediaType::Video;
    std::vector<std::uint8_t> extraData; // codec-private data; empty for none
};

// Records are held and deleted through their concrete type, so the base has
// no virtual destructor; it is protected to keep it that way.
class StreamParametersBase
{
public:
    std::uint64_t startTime = 0;
    std::int32_t timeScale = 0;

    virtual CodecConfiguration& GetCodecConfiguration() = 0;

protected:
    StreamParametersBase() = default;
    StreamParametersBase(const StreamParametersBase&) = default;
    StreamParametersBase& operator=(const StreamParametersBase&) = default;
    ~StreamParametersBase() = default;
};

class StreamParametersVideo final : public StreamParametersBase
{
public:
    std::int32_t timestampOffset = 0; // ticks added to every presentation time
    CodecConfiguration codecConfiguration{MediaType::Video, {}};
    CodecIdVideo codecId = CodecIdVideo::Undefined;
    std::int32_t width = 0;
    std::int32_t height = 0;

    CodecConfiguration& GetCodecConfiguration() override { return codecConfiguration; }
};

class StreamParametersAudio final : public StreamParametersBase
{
public:
    CodecConfiguration codecConfiguration{MediaType::Audio, {}};
    CodecIdAudio codecId = CodecIdAudio::Undefined;
    std::int32_t channels = 1;
    ChannelLayout channelLayout = ChannelLayout::Mono;
    std::int32_t blockAlign = 0;
    std::vector<std::uint8_t> firstPacketHeader; // leading bytes of the first packet (ADTS probe)

    CodecConfiguration& GetCodecConfiguration() override { return codecConfiguration; }
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
