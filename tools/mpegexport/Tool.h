#pragma once

// What the parts of mpegexport share: the sources it reads, the codecs and containers it knows, and one export run.

#include <mpegexporter/IFfMpegFacade.h>

#include <algorithm>
#include <cstdint> // before FFmpeg's headers, which need its constant macros in C++
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace mpegexport
{
namespace mpeg = Halvaro::Oru::Shared::Export::Mpeg;

// The tool sees only the public headers, so it owns its FFmpeg handles itself.
template <typename T, void (*Free)(T**)> struct FreeByAddress
{
    void operator()(T* handle) const noexcept { Free(&handle); }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, FreeByAddress<AVFormatContext, avformat_close_input>>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, FreeByAddress<AVCodecContext, avcodec_free_context>>;
using PacketPtr = std::unique_ptr<AVPacket, FreeByAddress<AVPacket, av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, FreeByAddress<AVFrame, av_frame_free>>;
template <typename Ptr> Ptr Allocated(typename Ptr::pointer handle)
{
    if (!handle)
        throw std::bad_alloc();
    return Ptr(handle);
}

// Throws "what: <FFmpeg's text>" for a negative status.
inline void Check(int status, const std::string& what)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (status < 0)
        throw std::runtime_error(what + ": " + av_make_error_string(text, sizeof text, status));
}

constexpr std::int64_t kHostTicksPerSecond = 10'000'000;
constexpr AVRational kHostTimeBase{1, static_cast<int>(kHostTicksPerSecond)};

// --- codecs and containers --------------------------------------------------

enum class Container { Mp4, Mov };
const char* ContainerName(Container container);
Container ContainerOf(const std::string& path); // .mp4 or .mov, any case; throws for others

std::optional<int> LibraryCodec(AVCodecID codec, bool audio); // mpeg::CodecIdVideo or CodecIdAudio
std::string SupportedCodecs(bool audio);                      // "H.264, H.265, ..."
std::string Unsupported(AVCodecID codec, bool audio);         // "video codec X is not supported (...)"
std::string DisplayName(AVCodecID codec); // "H.264"; FFmpeg's short name for codecs we do not list
// The input's codec when the container carries it, else what the library transcodes into.
AVCodecID OutputCodec(Container container, AVCodecID input, bool audio);

// A written file as the library reported it and as read back: proof that it is complete.
struct WrittenFile
{
    std::string path;
    std::int64_t bytes = 0, frames = 0;
    double seconds = 0;
    std::string audioCodec; // empty without an audio track
    std::int64_t audioPackets = 0;
    double audioSeconds = 0;
};

// --- sources ------------------------------------------------------------------

struct VideoDescription
{
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0, height = 0;
    std::vector<std::uint8_t> extraData;
    AVRational frameRate{0, 1}; // 0/1 when the input has none
    bool reordered = false;     // B-frames
};

struct AudioDescription
{
    AVCodecID codec = AV_CODEC_ID_NONE;
    int sampleRate = 0, channels = 0, blockAlign = 0;
    int bitsPerSample = 0; // coded bits a sample (G.726); 0 when unknown
    std::vector<std::uint8_t> extraData;
};

struct SourceInfo
{
    std::string name; // the input path or "test card"
    VideoDescription video;
    std::optional<AudioDescription> audio;
    double durationSeconds = -1; // negative when unknown
};

struct SourcePacket
{
    std::vector<std::uint8_t> data;
    std::int64_t offset = 0;   // host ticks after the first video packet; may be negative
    std::int64_t duration = 0; // host ticks; 0 when unknown
    bool key = false;
};

// A video stream and an audio stream, each in file order; false from the end on (or without audio).
class PacketSource
{
public:
    virtual ~PacketSource() = default;
    virtual bool Next(SourcePacket& packet) = 0;
    virtual bool NextAudio(SourcePacket& packet) = 0;
    SourceInfo info;                // set when the source opens
    std::vector<std::string> notes; // what the user should know once it has been read

protected:
    // Moves the queue's first packet to `out`; false when it is empty.
    static bool Pop(std::deque<SourcePacket>& queue, SourcePacket& out);
};

enum class Streams { VideoAndAudio, VideoOnly, AudioOnly }; // VideoAndAudio: the audio if there is some
// A media file read with libavformat; throws when it lacks a required stream.
std::unique_ptr<PacketSource> OpenFile(const std::string& path, Streams streams);

// The built-in input, encoded once in memory (H.264 through libx264 where
// FFmpeg has it, MPEG-4 part 2 otherwise); each copy reads it from the start.
class TestCard final : public PacketSource
{
public:
    static constexpr int kWidth = 1280, kHeight = 720, kFps = 25, kSeconds = 10, kSampleRate = 8000;
    TestCard();
    bool Next(SourcePacket& packet) override { return Pop(m_video, packet); }
    bool NextAudio(SourcePacket& packet) override { return info.audio && Pop(m_audio, packet); }

private:
    std::deque<SourcePacket> m_video, m_audio;
};

// --- one export -------------------------------------------------------------

struct ExportSettings
{
    std::string output;
    std::int64_t batchTicks = kHostTicksPerSecond;
    std::optional<std::int64_t> splitTicks, stopTicks;
    std::optional<std::int64_t> timeScale; // at most INT32_MAX
    // Line: one line rewritten in place, for a terminal; Lines: one every tenth of the input, for logs.
    enum class Progress { None, Line, Lines } progress = Progress::None;
    std::function<bool()> interrupted;
    double pace = 0; // above 0: no faster than this many times real time
};

struct AudioResult
{
    std::string source;
    AVCodecID codecIn = AV_CODEC_ID_NONE, codecOut = AV_CODEC_ID_NONE;
    int sampleRate = 0, channels = 0;
    std::int64_t packetsRead = 0, packetsSent = 0;
    std::int64_t packetsSkipped = 0; // by the library: they could not be used
};

struct ExportResult
{
    std::string input;
    Container container = Container::Mp4;
    AVCodecID codecIn = AV_CODEC_ID_NONE, codecOut = AV_CODEC_ID_NONE;
    std::int32_t timeScale = 0;
    std::vector<WrittenFile> files;
    std::int64_t packetsRead = 0, packetsSent = 0; // video
    std::int64_t packetsSkipped = 0;                // by the library: they could not be used
    std::optional<AudioResult> audio;
    bool stopped = false, interrupted = false;
    double secondsTaken = 0;
    std::vector<std::string> notes; // printed unless --quiet
};

// The video of `video` with the audio of `audio` (the same source, or another whose clock
// starts with the video's). Throws one line that names what failed and what became of the output.
ExportResult Export(PacketSource& video, PacketSource& audio, const ExportSettings& settings);

// --recover: an interrupted export and its journal into a regular file; returns the exit status (see --help).
int Recover(const std::string& file, bool quiet);

} // namespace mpegexport
