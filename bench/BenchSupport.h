#pragma once

// What the benchmark programs share: options, statistics, timing, the
// temporary directory, synthetic host input, a bare libavformat writer to
// compare the facades with, reading written files back, and running the
// ffmpeg command-line tool. The programs link the library like a host does
// (public headers only) and FFmpeg directly for their references.

#include <mpegexporter/IFfMpegFacade.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Bench
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using Packets = std::vector<Bytes>;

constexpr std::uint64_t kSecond = 10'000'000;           // host clock: 100-ns units
constexpr std::uint64_t kHostStart = 1'000'000'000'000; // arbitrary; only differences count

// Throws std::runtime_error naming the call when FFmpeg reports a failure.
void Check(int result, const char* call);

// ---- Command line: --name=value and --flag, nothing else.

class Args
{
public:
    Args(int argc, char** argv, std::string usage);
    double Number(const std::string& name, double fallback, double minimum);
    std::string Text(const std::string& name, const std::string& fallback);
    bool Flag(const std::string& name);
    // Refuses options that no call above asked for.
    void Finish() const;

private:
    std::map<std::string, std::string> m_values;
    std::map<std::string, bool> m_used;
    std::string m_usage;
};

// ---- Statistics and formatting

double Median(std::vector<double> values);
double Percentile(std::vector<double> values, double q); // nearest rank
double Max(const std::vector<double>& values);
double Min(const std::vector<double>& values);
// Runs of two sides alternate, so the machine's load drifts alike over each
// pair: the median over pairs of reference[i] / library[i] (above 1 the
// library is faster), steadier than a ratio of medians when it drifts.
double PairedRatio(const std::vector<double>& reference, const std::vector<double>& library);
std::string Fixed(double value, int decimals);

// One line of the summary table that bench/run_all.sh collects: tab-separated
// after "@ ", in the order path, figure, library, reference, ratio, target,
// verdict. Empty fields print as "-".
void Result(const std::string& path, const std::string& figure, const std::string& library,
            const std::string& reference, const std::string& ratio, const std::string& target,
            const std::string& verdict);
std::string Verdict(bool met);

// ---- Measuring

struct Sample
{
    double wall = 0;   // seconds
    double cpu = 0;    // seconds, all threads of this process
    double system = 0; // seconds of `cpu` spent in the kernel (file pages, faults)
    double faults = 0; // minor page faults, all threads
};

// This process so far: CPU seconds of all threads, the kernel's share, minor
// page faults.
struct Usage
{
    double cpu = 0;
    double system = 0;
    double faults = 0;
};
Usage ProcessUsage();

template <typename Work>
Sample Measure(Work&& work)
{
    const Usage u0 = ProcessUsage();
    const auto t0 = Clock::now();
    work();
    const auto t1 = Clock::now();
    const Usage u1 = ProcessUsage();
    return Sample{std::chrono::duration<double>(t1 - t0).count(), u1.cpu - u0.cpu, u1.system - u0.system,
                  u1.faults - u0.faults};
}

std::vector<double> Walls(const std::vector<Sample>& samples);
std::vector<double> Cpus(const std::vector<Sample>& samples);
std::vector<double> Systems(const std::vector<Sample>& samples);

// Threads of this process as the kernel sees them; 0 when that is unknown.
std::size_t ThreadCount();
// Lets the facade's worker drain its queue and end, so that the next add call
// starts a burst.
void WaitForWorkerExit(std::size_t baselineThreads);

// A field of /proc/self/status in kB (VmHWM, VmRSS); -1 when unreadable.
long StatusKb(const char* field);

// ---- Environment

// A fresh directory, on tmpfs when there is one (the disk stays out of the
// figures), removed with everything in it on destruction.
class TempDir
{
public:
    explicit TempDir(const char* prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string File(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& Path() const { return m_path; }
    bool Tmpfs() const { return m_tmpfs; }

private:
    std::filesystem::path m_path;
    bool m_tmpfs = false;
};

// The facade takes UTF-16 names; the paths made here are ASCII.
std::wstring Widen(const std::string& path);

// ---- Synthetic input for the copy paths

// Pseudo-random bytes, the same for the same seed.
Bytes RandomBytes(std::size_t size, std::uint64_t seed);

// 1080p25 H.264-sized packets: one length-prefixed NAL unit of pseudo-random
// bytes each, a key picture every 50 (six times the size of the others), the
// mean set by `mbits`, +-25 % jitter. The muxer copies them unparsed, so only
// the sizes matter.
constexpr int kVideoFps = 25;
constexpr int kVideoWidth = 1920;
constexpr int kVideoHeight = 1080;
Packets SyntheticH264(std::size_t count, double mbits, std::uint64_t seed = 1);
// An avcC record with placeholder parameter sets. With it the MP4 muxer takes
// length-prefixed packets as they are; without it, it would take the first
// packet for Annex B parameter sets and rewrite every packet.
const Bytes& AvcC();

// ADTS-framed mono AAC-LC frames (1024 samples each) at `rate`, sized for
// `kbits`: a 7-byte header and a payload of pseudo-random bytes that starts
// like a single-channel element. Nothing decodes them on the copy path.
constexpr int kAacFrame = 1024;
Packets SyntheticAdts(std::size_t count, int rate, double kbits, std::uint64_t seed = 2);
Bytes AdtsHeader(int rate, std::size_t payload);

// What a copy export writes: video, optionally with audio.
struct CopyInput
{
    Packets video;
    Packets audio; // empty: video only
    int audioRate = 48000;
};

CopyInput MakeCopyInput(double seconds, double mbits, bool withAudio, int audioRate, double audioKbits);

// Host time of video packet i (25 fps) and of audio frame i.
std::uint64_t VideoTime(std::size_t i);
std::uint64_t AudioTime(std::size_t i, int rate);

// One add call's worth: 25 video packets (one second) and the audio frames
// that start in the same second.
struct HostBatch
{
    Mpeg::MediaPacketList video;
    Mpeg::MediaPacketList audio;
    std::size_t bytes = 0;
};

// The host's own copy of the input, batched; made afresh for every run since
// the facade takes the packets over.
std::vector<HostBatch> MakeBatches(const CopyInput& input);
std::size_t TotalBytes(const Packets& packets);

// StartInitMediaFile, InitStreamVideo (H.264, 1080p, time scale 25), with
// audio InitStreamAudio (AAC, the first frame's header), FinishInitMediaFile.
void OpenCopyExport(Mpeg::IFfMpegFacade& facade, const std::string& path, const CopyInput& input);
// AddPacketsVideo on the video-only facade, AddPacketsAudioVideo otherwise.
void Add(Mpeg::IFfMpegFacade& facade, HostBatch& batch, bool withAudio);

// The reference: what an application would write by hand with libavformat
// for the same host packets, with the timestamps the facade derives (pts the
// elapsed host time in ticks, forced above the previous one; video dts the
// packet count; one tick of video duration, one frame of audio). Each host
// packet is copied into a fresh AVPacket, ADTS headers are stripped with
// aac_adtstoasc, every packet goes through av_interleaved_write_frame, and
// the host's packet is released once written, as the facade does.
class BareWriter
{
public:
    BareWriter(const std::string& path, bool withAudio, int audioRate);
    ~BareWriter();
    BareWriter(const BareWriter&) = delete;
    BareWriter& operator=(const BareWriter&) = delete;

    void Write(HostBatch& batch);
    // Flushes, writes the trailer; the file size.
    std::int64_t Finish();

private:
    void WriteVideo(const Mpeg::MediaPacket& packet);
    void WriteAudio(const Mpeg::MediaPacket& packet);
    void Release() noexcept;

    AVFormatContext* m_context = nullptr;
    AVBSFContext* m_filter = nullptr;
    AVPacket* m_packet = nullptr;
    AVStream* m_video = nullptr;
    AVStream* m_audio = nullptr;
    int m_audioRate = 0;
    std::int64_t m_videoLastPts = 0;
    std::int64_t m_audioLastPts = 0;
};

// ---- Reading written files back

struct StreamSummary
{
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codec = AV_CODEC_ID_NONE;
    std::size_t packets = 0;
    std::size_t bytes = 0;
    std::uint64_t hash = 0;   // FNV-1a over every payload in file order
    std::uint64_t timing = 0; // FNV-1a over every pts, dts and duration
};

// Every stream of the file as libavformat reads it; throws when it cannot.
std::vector<StreamSummary> Summarize(const std::string& path);
// The first stream of the type, or a summary with 0 packets.
StreamSummary StreamOf(const std::vector<StreamSummary>& streams, AVMediaType type);
std::string Describe(const StreamSummary& stream);

// Decodes the first stream of the type: pictures, or audio samples; -1 when
// a packet does not decode.
std::int64_t DecodedUnits(const std::string& path, AVMediaType type);

bool SameContents(const std::string& a, const std::string& b);

// ---- The ffmpeg command-line tool

struct CommandRun
{
    double wall = 0;     // seconds, fork to exit
    double cpu = 0;      // seconds, user + system of the child
    double loop = -1;    // ffmpeg's -benchmark rtime (the transcoding loop), when it printed one
    double loopCpu = -1; // and its utime + stime
    int status = -1;     // exit code; -1 when it did not exit normally
    std::string output;  // what it printed on stdout
    std::string log;     // what it printed on stderr, less the -benchmark lines
};

// Runs argv[0] from PATH with stdin empty and stdout and stderr captured.
CommandRun RunCommand(const std::vector<std::string>& argv);
// True when `ffmpeg` can be run.
bool HaveCommand(const std::string& name);

} // namespace Bench
