#pragma once

// What the benchmark programs share: the host's copy-path input, a bare
// libavformat loop writing the same packets (the reference), output paths
// and workload sizes.

#include "av/AvHandles.h"
#include "av/AvResult.h"
#include "support/TestMedia.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace Bench
{
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kSecond = 10'000'000;           // host clock: 100-ns units
constexpr std::uint64_t kHostStart = 1'000'000'000'000; // arbitrary; only differences count
constexpr int kFps = 25;
constexpr int kAudioRate = 48000;
constexpr int kAacFrame = 1024;

using Mpeg::CheckAvResult;
using Clock = std::chrono::steady_clock;
// User and system time of all the process's threads, the facade's worker included.
double ProcessCpuSeconds();
inline double Since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}
using PacketPtr = std::unique_ptr<AVPacket, Mpeg::AvDeleter<av_packet_free>>;

// An output file's context: closes the file and frees the context.
struct OutputCloser
{
    void operator()(AVFormatContext* context) const noexcept
    {
        avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
using OutputContext = std::unique_ptr<AVFormatContext, OutputCloser>;
// The context for `path`, its container picked by the name.
OutputContext OpenOutput(const std::string& path);

// A /proc/self/status field in kB (VmRSS, VmHWM); -1 when unreadable.
long StatusKb(const char* field);

// A workload size: the environment variable when set (run_all.sh --quick),
// else `smoke` under BENCH_SMOKE (the ctest entries), else `full`.
double Workload(const char* variable, double full, double smoke);

// One add call's worth: one second of video and the audio frames that start in it.
struct Batch
{
    Mpeg::MediaPacketList video;
    Mpeg::MediaPacketList audio;
};

// The copy path's host input, one second at a time: 1080p25 H.264-sized
// packets (a key picture a second, six times the others' size, +-25 %) and,
// with audio, mono ADTS AAC at 48 kHz and 128 kbit/s. The muxer copies them
// unparsed, so only sizes and headers matter; payloads are cut from a small
// random pool, so a long input is never resident as a whole.
class CopySource
{
public:
    CopySource(double videoMbits, bool withAudio);
    Batch Next();
    // The next batches are the same as from the start.
    void Rewind();

private:
    Bytes Cut(std::size_t size);

    bool m_withAudio;
    std::vector<std::size_t> m_videoSizes;
    Bytes m_pool;
    std::mt19937_64 m_random{7};
    std::size_t m_video = 0;
    std::size_t m_audio = 0;
};

std::uint64_t VideoTime(std::size_t index);

// The record of CopySource's audio, starting at kHostStart.
std::unique_ptr<Mpeg::StreamParametersAudio> AacRecord();
// StartInitMediaFile with H.264 1080p at time scale 25 (avcC extradata),
// with audio the ADTS AAC record, FinishInitMediaFile.
void OpenCopy(Mpeg::IFfMpegFacade& facade, const std::string& path, bool withAudio);
// AddPacketsAudioVideo with audio, AddPacketsVideo without.
void Add(Mpeg::IFfMpegFacade& facade, Batch& batch, bool withAudio);

// The reference: what an application writes by hand with libavformat for the
// same host packets and timestamps the library derives (pts the elapsed
// ticks, strictly rising; video dts one tick earlier), each copied into a
// fresh AVPacket, ADTS stripped by aac_adtstoasc, av_interleaved_write_frame,
// the host's packet released once written.
class BareCopy
{
public:
    BareCopy(const std::string& path, bool withAudio);
    void Write(Batch& batch);
    std::int64_t Finish();

private:
    void Send(const Mpeg::MediaPacket& host, bool video);

    OutputContext m_context;
    Mpeg::AvBsfContextPtr m_filter;
    PacketPtr m_packet{av_packet_alloc()};
    std::int64_t m_lastPts[2] = {-1, -1}; // as the library starts: the first pts is 0 at the earliest
};

// A file name in a tmpfs directory when there is one (the disk stays out of
// the figures), unique to this process.
std::string OutputPath(const std::string& name);

} // namespace Bench
