#pragma once

// Shared by tests, fuzz harnesses and benchmarks: media made in-process with
// FFmpeg's encoders (no binary fixtures), and files read back as a player would.

#include <mpegexporter/IFfMpegFacade.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>

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
    std::vector<Bytes> packets;           // in decode order
    std::vector<std::size_t> keyPictures; // packets the encoder marked as key
    int width = 0, height = 0;
    int sampleRate = 0, frameSize = 0; // audio: samples per packet
};

bool HasEncoder(const char* name);

// `frames` pictures of a moving pattern encoded with `encoder` ("mpeg4",
// "mjpeg", "h263", "libx264" ...), a key frame every `gop` pictures and up to
// `bFrames` B-pictures in a row; with `globalHeader` the stream headers go
// into extradata. H.264 comes as an MP4 source has it (length-prefixed units,
// avcC extradata), with `annexB` as a camera sends it (start codes). With
// `flash` the pictures are black, white in the first fifth of every second.
EncodedStream EncodeVideo(const char* encoder, int width, int height, int frames, int fps = 25, int gop = 12,
                          bool globalHeader = false, int bFrames = 0, bool annexB = false, bool flash = false);

// At least `seconds` of a sine tone at half of full scale with the named
// encoder ("aac", "pcm_mulaw", "pcm_alaw", "g726", "g726le", "mp2",
// "pcm_s16be"), in packets of the encoder's frame size (PCM: 20 ms; G.726 at
// 4 bits a sample), on `channels` channels. With `adts` every AAC packet
// starts with its ADTS header; with `beep` the tone sounds only in the first
// fifth of every second of the host's clock, which the device's runs `clock`
// times as fast (1.001: a device 1000 ppm fast makes 8008 samples a second
// at 8 kHz).
EncodedStream EncodeTone(const char* encoder, int sampleRate, double seconds, double frequency, bool adts = false,
                         bool beep = false, double clock = 1.0, int channels = 1);

// An ADTS header field by field: profile (1: LC), sampling frequency index,
// channel configuration, frame length with the header, raw data blocks; its
// second byte is 0xF1 for MPEG-4 without a checksum, 0xF0 with one (zero,
// after the header), 0xF9 for MPEG-2.
Bytes Adts(int profile, int rateIndex, int channels, std::size_t length = 100, int blocks = 1,
           std::uint8_t second = 0xF1);

// The ADTS header of an AAC-LC frame of `payload` bytes (with a zero `crc`)
// holding `blocks` raw data blocks.
Bytes AdtsHeader(int sampleRate, std::size_t payload, bool crc = false, int channels = 1, int blocks = 1);

// Host packets: packet i of `stream` at start + i * step (100-ns units).
Mpeg::MediaPacketList ToHostPackets(const EncodedStream& stream, std::uint64_t start, std::uint64_t step,
                                    std::size_t first = 0, std::size_t count = SIZE_MAX);

std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, int width, int height,
                                                         std::int32_t timeScale = 25, Bytes extradata = {});
// Size and extradata taken from `media`.
std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, const EncodedStream& media,
                                                         std::int32_t timeScale = 25, std::uint64_t startTime = 0,
                                                         std::int32_t timestampOffset = 0);

// Mono audio; the header is the first 8 bytes of `firstPacket`.
std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord(Mpeg::CodecIdAudio codec, std::int32_t timeScale,
                                                         const Bytes& firstPacket = {}, std::uint64_t startTime = 0);

// StartInitMediaFile, InitStreamVideo, InitStreamAudio (with `audio`), FinishInitMediaFile.
void Open(Mpeg::IFfMpegFacade& facade, const std::filesystem::path& path,
          std::unique_ptr<Mpeg::StreamParametersVideo> record,
          std::unique_ptr<Mpeg::StreamParametersAudio> audio = nullptr);

struct ReadPacket
{
    int streamIndex = 0;
    std::int64_t pts = 0, dts = 0;
    bool discarded = false; // outside the track's edit: not shown
    Bytes data;
};

struct ReadStream
{
    AVCodecID codecId = AV_CODEC_ID_NONE;
    AVRational timeBase{0, 1};
    int width = 0, height = 0;
    AVRational sampleAspectRatio{0, 1}; // the container's
    Bytes extradata;
    double startSeconds = 0; // edit list applied
    double durationSeconds = 0;
    std::vector<std::size_t> syncSamples; // all samples when none are listed
    int channels = 0;                     // as the container declares them
};

struct ReadFile
{
    std::vector<ReadStream> streams;
    std::vector<ReadPacket> packets; // in file order
};

// The file as libavformat reads it; fails the test (returning what it has) when it cannot.
ReadFile Read(const std::filesystem::path& path);

// The first channel of an audio stream as a player plays it (priming
// skipped), full scale 1.0; fails the test when it does not decode.
std::vector<float> DecodeSamples(const std::filesystem::path& path, int streamIndex);

// The pictures of a file's first video stream, or of an encoded stream, as
// 8-bit gray (w*h bytes each), in decoding order.
std::vector<Bytes> DecodeGray(const std::filesystem::path& path);
std::vector<Bytes> DecodeGray(const EncodedStream& stream);

// Frames the stream decodes into, or -1 on failure.
int DecodeFrameCount(const std::filesystem::path& path, int streamIndex = 0);

// A file of flashing pictures and beeping tone as players play it: each beep
// onset against the nearest flash onset (within half a second), in seconds,
// positive when the sound is late. A player that follows timestamps places
// each decoded sample at its frame's time; one that plays the audio as one
// continuous stream (browsers, most desktop players) places it at the first
// frame's time plus the samples before it. Edit lists applied, priming
// skipped.
struct SyncReport
{
    struct Offset
    {
        double flash = 0;
        double offset = 0;
    };
    std::vector<Offset> byTimestamps, asStream;
    double audioSeconds = 0; // decoded audio
    double videoSeconds = 0; // from the first picture's time to the end of the last
    double audioStart = 0;   // the first decoded sample's time

    // The mean offset of the flashes in [from, to), and how many there are.
    static double Mean(const std::vector<Offset>& offsets, double from = -1e18, double to = 1e18);
    static int Count(const std::vector<Offset>& offsets, double from = -1e18, double to = 1e18);
};
SyncReport MeasureSync(const std::filesystem::path& path);

// FFmpeg's description of an error code; its wording differs between builds.
std::string StrError(int code);

// `text` as the name of a parameterised case: what a test name cannot hold becomes '_'.
std::string TestName(std::string text);

// What `call` throws, as "<type>: <what()>" with the type one of AvException
// (followed by its code), FfMpegFacadeException, invalid_argument,
// out_of_range, range_error or exception; "nothing" when it returns.
std::string Thrown(const std::function<void()>& call);

// What Thrown gives for the library's refusal at `where` ("Class::Call: why"),
// and for FFmpeg's status `code` from `call`.
std::string Refusal(const std::string& where);
std::string AvError(int code, const std::string& call);

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

// Caps the size of files this process writes while it lives; writes past it
// fail with EFBIG instead of raising SIGXFSZ.
class FileSizeCap
{
public:
    explicit FileSizeCap(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        const rlimit capped{bytes, m_saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap() { setrlimit(RLIMIT_FSIZE, &m_saved), std::signal(SIGXFSZ, m_handler); }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;

private:
    void (*m_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit m_saved{};
};

// A host's wide file name for a path (UTF-8 widened per code point).
std::wstring Wide(const std::filesystem::path& path);

// zlib's CRC-32, as the recovery journal checks payloads with it.
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

Bytes FileBytes(const std::filesystem::path& path);

// The names in a directory.
std::set<std::string> Listing(const std::filesystem::path& dir);

// Audio packet i of `stream` at `start` plus i frames (100-ns units).
std::vector<Mpeg::MediaPacket> TimedAudio(const EncodedStream& stream, std::uint64_t start = 0);

// Pictures [first, last) of `video`, one every 40 ms from 0, in lists of
// `perList`, each with the `audio` packets timed in its stretch; without
// `audio` through AddPacketsVideo.
void AddInLists(Mpeg::IFfMpegFacade& facade, const EncodedStream& video, std::size_t first, std::size_t last,
                std::size_t perList, const std::vector<Mpeg::MediaPacket>* audio = nullptr);

// A new facade writes the first `pictures` of `video` with `audio` (as
// AddInLists) into `path`; fails the test unless the size it reports is the file's.
void ExportFile(const std::filesystem::path& path, std::unique_ptr<Mpeg::StreamParametersVideo> record,
                std::unique_ptr<Mpeg::StreamParametersAudio> audioRecord, const EncodedStream& video,
                std::size_t pictures, std::size_t perList, const std::vector<Mpeg::MediaPacket>* audio = nullptr);

} // namespace TestMedia
