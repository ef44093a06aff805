#pragma once

// Shared test helpers: media made in-process with FFmpeg's own encoders (no
// binary fixtures), stream records, a reader that opens written files with
// libavformat the way a player would, and exception capture.

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace TestMedia
{
using Bytes = std::vector<std::uint8_t>;

struct EncodedStream
{
    AVCodecID codecId = AV_CODEC_ID_NONE;
    Bytes extradata;
    std::vector<Bytes> packets; // in decode order
    std::vector<std::size_t> keyPictures; // indexes of the packets the encoder marked as key
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int frameSize = 0; // audio samples per packet
};

// True when this FFmpeg build has the named encoder (libx264 ...).
bool HasEncoder(const char* name);

// `frames` pictures of a moving pattern encoded with `encoder` ("mpeg4",
// "mjpeg", "h263", "libx264" ...) at `fps`, a key frame every `gop` pictures
// and up to `bFrames` B-pictures in a row. With `globalHeader` the stream
// headers go into extradata instead of the key frames. H.264 comes as an MP4
// source delivers it, which the muxer stores unchanged: length-prefixed units
// and avcC extradata; with `annexB` as a camera stream does, start codes in
// packets and extradata. With `flash` the pictures are black, except white
// in the first fifth of every second.
EncodedStream EncodeVideo(const char* encoder, int width, int height, int frames, int fps = 25, int gop = 12,
                          bool globalHeader = false, int bFrames = 0, bool annexB = false,
                          bool flash = false);

// At least `seconds` of a mono sine tone at half of full scale, encoded with the named audio encoder
// ("aac", "pcm_mulaw", "pcm_alaw", "g726", "g726le", "mp2", "pcm_s16be"), in
// whole packets of the encoder's frame size; PCM codecs come in packets of
// 20 ms and G.726 at 4 bits a sample (32 kbit/s at 8 kHz). With `adts` every
// AAC packet starts with its ADTS header. With `beep` the tone sounds only in
// the first fifth of every second, silence otherwise.
EncodedStream EncodeTone(const char* encoder, int sampleRate, double seconds, double frequency, bool adts = false,
                         bool beep = false);

// The ADTS header of a mono AAC-LC frame of `payload` bytes: 7 bytes, or 9
// with `crc` (the two checksum bytes are zero; nothing checks them here).
Bytes AdtsHeader(int sampleRate, std::size_t payload, bool crc = false);

// Decodes mono packets of `codec` at `sampleRate` into samples of full scale
// 1.0; G.726 is read at 4 bits a sample. Fails the test and returns what it
// has when the decoder refuses something.
std::vector<float> DecodeAudio(AVCodecID codec, int sampleRate, const std::vector<Bytes>& packets,
                               const Bytes& extradata = {});

// Frequency of the tone in samples [from, to), from its rising zero crossings
// (0 when fewer than two); a crossing counts only after the signal went below
// -0.05, so codec noise around zero does not count twice.
double ToneFrequency(const std::vector<float>& samples, int sampleRate, std::size_t from, std::size_t to);

// Host packets from encoded data: packet i at start + i * step (100-ns units).
Mpeg::MediaPacketList ToHostPackets(const EncodedStream& stream, std::uint64_t start, std::uint64_t step,
                                   std::size_t first = 0, std::size_t count = SIZE_MAX);

std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, int width, int height,
                                                         std::int32_t timeScale = 25, Bytes extradata = {});
// Size and extradata taken from `media`.
std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, const EncodedStream& media,
                                                         std::int32_t timeScale = 25, std::uint64_t startTime = 0,
                                                         std::int32_t timestampOffset = 0);

// StartInitMediaFile, InitStreamVideo, FinishInitMediaFile.
void Open(Mpeg::IFfMpegFacade& facade, const std::filesystem::path& path,
          std::unique_ptr<Mpeg::StreamParametersVideo> record);

struct ReadPacket
{
    int streamIndex = 0;
    std::int64_t pts = 0;
    std::int64_t dts = 0;
    bool discarded = false; // outside the track's edit: a player does not show it
    Bytes data;
};

struct ReadStream
{
    AVCodecID codecId = AV_CODEC_ID_NONE;
    AVRational timeBase{0, 1};
    int width = 0;
    int height = 0;
    AVRational sampleAspectRatio{0, 1}; // the container's
    Bytes extradata;
    AVRational frameRate{0, 1};        // avg_frame_rate, as ffprobe reports it
    AVRational realFrameRate{0, 1};    // r_frame_rate
    double startSeconds = 0;           // of the stream, edit list applied
    double durationSeconds = 0;        // of the stream
    std::vector<std::size_t> syncSamples; // indexes of the samples listed as sync samples (all when none are)
};

struct ReadFile
{
    std::vector<ReadStream> streams;
    std::vector<ReadPacket> packets; // in file order
};

// Opens and probes the file with libavformat and reads every packet; fails
// the current test (ADD_FAILURE) and returns what it has when it cannot.
ReadFile Read(const std::filesystem::path& path);

// Seeks the first stream as `ffmpeg -ss` does (`seconds` after the stream's
// start, to the key picture at or before it) and returns the first packet
// read there, with its pts and dts counted from the stream's start; fails the
// test and returns an empty packet when it cannot.
ReadPacket SeekAndRead(const std::filesystem::path& path, double seconds);

// Decodes every packet of the stream; the number of frames, or -1 on failure.
int DecodeFrameCount(const std::filesystem::path& path, int streamIndex = 0);

// A file made of flashing pictures and beeps (the `flash` and `beep` media
// above) as a player plays it: decoded with libavformat's edit lists applied.
struct Sync
{
    double offset = 0;       // mean beep onset minus flash onset, seconds (positive: sound late)
    int pairs = 0;           // beeps matched to a flash within half a second
    double audioSeconds = 0; // decoded audio, after the priming the file skips
};
Sync MeasureSync(const std::filesystem::path& path);

// FFmpeg's description of an error code; its wording differs between builds.
std::string StrError(int code);

// What `call` throws, as "<type>: <what()>" with the type one of AvException
// (followed by its code), FfMpegFacadeException, invalid_argument,
// out_of_range, range_error or exception; "nothing" when it returns.
std::string Thrown(const std::function<void()>& call);

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

// Host-style wide file name for a path (UTF-8 widened per code point).
std::wstring Wide(const std::filesystem::path& path);

} // namespace TestMedia
