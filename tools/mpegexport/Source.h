#pragma once

// What the exporter reads: one video stream and at most one audio stream, each
// described once and delivered as packets in file order, timed on an offset
// from the first video packet.

#include <cstdint> // before FFmpeg's headers, which need its constant macros in C++
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/rational.h>
}

namespace mpegexport
{

struct VideoDescription
{
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> extraData;
    AVRational frameRate{0, 1}; // nominal; 0/1 when the input has none
    // Pictures are sent ahead of pictures shown before them (B-frames).
    bool reordered = false;
};

struct AudioDescription
{
    std::string source; // for messages: the file the audio comes from
    AVCodecID codec = AV_CODEC_ID_NONE;
    int sampleRate = 0;
    int channels = 0;
    int blockAlign = 0;
    int bitsPerSample = 0; // coded bits per sample where the codec varies it (G.726); 0 when unknown
    std::vector<std::uint8_t> extraData; // for AAC its AudioSpecificConfig, when the input has one
};

struct SourceInfo
{
    std::string name; // for messages: the input path or "test card"
    VideoDescription video;
    std::optional<AudioDescription> audio; // none: export the video alone
    double durationSeconds = -1;           // negative when unknown
};

struct SourcePacket
{
    std::vector<std::uint8_t> data;
    std::int64_t offset = 0;   // 100-ns units after the first video packet; may be negative
    std::int64_t duration = 0; // 100-ns units; 0 when unknown
    bool key = false;
};

class PacketSource
{
public:
    virtual ~PacketSource() = default;
    virtual const SourceInfo& Info() const = 0;
    // The next video packet in file order; false at the end of the input.
    virtual bool Next(SourcePacket& packet) = 0;
    // The next audio packet in file order; false at the end or without audio.
    virtual bool NextAudio(SourcePacket& packet) = 0;
    // Fraction of the input read so far, from 0 to 1; negative when unknown.
    virtual double Fraction() const = 0;
    // What the user should know about the input once it has been read, such
    // as packets left out.
    virtual std::vector<std::string> Notes() const { return {}; }
};

// Host clock units per second.
constexpr std::int64_t kHostTicksPerSecond = 10'000'000;

} // namespace mpegexport
