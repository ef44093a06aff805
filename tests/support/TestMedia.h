#pragma once

// Media for tests, made in-process with FFmpeg's own encoders, and a reader
// that opens written files with libavformat. No binary fixtures.

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace TestMedia
{

struct EncodedStream
{
    AVCodecID codecId = AV_CODEC_ID_NONE;
    std::vector<std::uint8_t> extradata;
    std::vector<std::vector<std::uint8_t>> packets; // in decode order
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int frameSize = 0; // audio samples per packet
};

// True when this FFmpeg build has the named encoder (libx264, libx265 ...).
bool HasEncoder(const char* name);

// `frames` pictures of a moving test pattern, encoded with `encoder` (for
// example "mpeg4", "mjpeg", "h263", "libx264", "bmp") at `fps`, with a key
// frame every `gop` pictures. Global headers are requested when
// `globalHeader` is set (extradata then holds them).
EncodedStream EncodeVideo(const char* encoder, int width, int height, int frames, int fps = 25, int gop = 12,
                          bool globalHeader = false);

// A mono sine tone of `seconds` at `sampleRate`, encoded with `encoder` (for
// example "pcm_mulaw", "pcm_alaw", "aac", "g726"). For "aac" with `adts` set,
// every packet carries its own ADTS header.
EncodedStream EncodeTone(const char* encoder, int sampleRate, double seconds, double frequency = 440.0,
                         bool adts = false);

// Host packets from encoded data: packet i at start + i * step (100-ns units).
Halvaro::Oru::Shared::Export::Mpeg::MediaPacketList ToHostPackets(const EncodedStream& stream, std::uint64_t start,
                                                                 std::uint64_t step, std::size_t first = 0,
                                                                 std::size_t count = SIZE_MAX);

struct ReadPacket
{
    int streamIndex = 0;
    std::int64_t pts = 0;
    std::int64_t dts = 0;
    std::int64_t duration = 0;
    std::vector<std::uint8_t> data;
};

struct ReadStream
{
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codecId = AV_CODEC_ID_NONE;
    AVRational timeBase{0, 1};
    int width = 0;
    int height = 0;
    AVRational sampleAspectRatio{0, 1};
    int sampleRate = 0;
    int channels = 0;
    std::int64_t duration = 0;
};

struct ReadFile
{
    std::string formatName;
    std::vector<ReadStream> streams;
    std::vector<ReadPacket> packets; // in file order
    std::vector<ReadPacket> PacketsOf(int streamIndex) const;
};

// Opens the file with libavformat and reads every packet; fails the current
// test (ADD_FAILURE) and returns an empty result when it cannot.
ReadFile Read(const std::filesystem::path& path);

// Decodes every packet of the stream; returns the number of frames, or -1
// when decoding fails.
int DecodeFrameCount(const std::filesystem::path& path, int streamIndex);

// A fresh directory under the system temp dir, removed on destruction.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Host-style wide file name for a path (ASCII and UTF-8 are widened per code point).
std::wstring Wide(const std::filesystem::path& path);

} // namespace TestMedia
