#pragma once

// What the exporter reads: one video stream's description and its packets in
// file order, timed on an offset from the first packet.

#include <cstdint> // before FFmpeg's headers, which need its constant macros in C++
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
};

struct SourceInfo
{
    std::string name;         // for messages: the input path or "test card"
    VideoDescription video;
    double durationSeconds = -1; // negative when unknown
    // The first audio stream's codec name, empty when there is none. Only
    // reported until the tool exports audio.
    std::string audioCodec;
};

struct SourcePacket
{
    std::vector<std::uint8_t> data;
    std::int64_t offset = 0; // 100-ns units after the first packet; may be negative for reordered input
    bool key = false;
};

class PacketSource
{
public:
    virtual ~PacketSource() = default;
    virtual const SourceInfo& Info() const = 0;
    // The next video packet in file order; false at the end of the input.
    virtual bool Next(SourcePacket& packet) = 0;
    // Fraction of the input read so far, from 0 to 1; negative when unknown.
    virtual double Fraction() const = 0;
};

// Host clock units per second.
constexpr std::int64_t kHostTicksPerSecond = 10'000'000;

} // namespace mpegexport
