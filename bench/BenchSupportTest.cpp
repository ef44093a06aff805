// The pieces of the benchmark harness whose faults would skew figures without
// failing anything: the synthetic input, the batching, the bare reference
// writer, the host-byte counting and the command runner.

#include "BenchSupport.h"
#include "HostBytes.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/adts_parser.h>
}

#include <thread>

namespace
{
using namespace Bench;

TEST(SyntheticInput, AdtsFramesParseAsOneFrameOfTheirOwnLengthAtTheRequestedRate)
{
    for (const int rate : {16000, 48000})
    {
        const Packets packets = SyntheticAdts(200, rate, 128);
        double bits = 0;
        for (const Bytes& packet : packets)
        {
            std::uint32_t samples = 0;
            std::uint8_t frames = 0;
            ASSERT_EQ(av_adts_header_parse(packet.data(), &samples, &frames), 0);
            EXPECT_EQ(samples, static_cast<std::uint32_t>(kAacFrame));
            EXPECT_EQ(frames, 1);
            const std::size_t length = (packet[3] & 3u) << 11 | packet[4] << 3 | packet[5] >> 5;
            EXPECT_EQ(length, packet.size());
            EXPECT_NE(packet[7], 0xFF); // the payload never looks like another header
            bits += 8.0 * static_cast<double>(packet.size());
        }
        const double seconds = 200.0 * kAacFrame / rate;
        EXPECT_NEAR(bits / seconds / 1000, 128, 128 * 0.1) << rate;
    }
}

TEST(SyntheticInput, H264PacketsCarryTheirNalLengthAndKeyPicturesAndTheBitrate)
{
    const Packets packets = SyntheticH264(250, 8);
    for (std::size_t i = 0; i < packets.size(); ++i)
    {
        const Bytes& p = packets[i];
        const std::size_t length = static_cast<std::size_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
        EXPECT_EQ(length, p.size() - 4);
        EXPECT_EQ(p[4], i % 50 == 0 ? 0x65 : 0x41);
    }
    const double mbits = 8.0 * static_cast<double>(TotalBytes(packets)) / 10 / 1e6;
    EXPECT_NEAR(mbits, 8, 0.8);
}

TEST(Batching, EveryPacketOnceAndAudioInTheSecondItStartsIn)
{
    const CopyInput input = MakeCopyInput(3.5, 1, true, 16000, 64);
    std::vector<HostBatch> batches = MakeBatches(input);
    ASSERT_EQ(batches.size(), 4u);
    std::size_t video = 0, audio = 0, bytes = 0;
    for (std::size_t b = 0; b < batches.size(); ++b)
    {
        EXPECT_EQ(batches[b].video.size(), b < 3 ? 25u : 13u);
        const std::uint64_t end = kHostStart + (b + 1) * kSecond;
        for (const auto& p : batches[b].video)
            EXPECT_EQ(p->timestamp, VideoTime(video++));
        for (const auto& p : batches[b].audio)
        {
            EXPECT_EQ(p->timestamp, AudioTime(audio++, 16000));
            EXPECT_GE(p->timestamp, end - kSecond);
            if (b + 1 < batches.size())
            {
                EXPECT_LT(p->timestamp, end);
            }
        }
        bytes += batches[b].bytes;
    }
    EXPECT_EQ(video, input.video.size());
    EXPECT_EQ(audio, input.audio.size());
    EXPECT_EQ(bytes, TotalBytes(input.video) + TotalBytes(input.audio));
}

TEST(BareWriter, WritesEveryPacketWithoutAdtsHeadersAndReleasesTheHostCopies)
{
    const TempDir dir("bench_support_test");
    const CopyInput input = MakeCopyInput(2, 1, true, 48000, 128);
    std::vector<HostBatch> batches = MakeBatches(input);
    BareWriter writer(dir.File("bare.mp4"), true, input.audioRate);
    for (HostBatch& batch : batches)
    {
        writer.Write(batch);
        for (const auto& p : batch.video)
            EXPECT_EQ(p, nullptr);
        for (const auto& p : batch.audio)
            EXPECT_EQ(p, nullptr);
    }
    EXPECT_GT(writer.Finish(), static_cast<std::int64_t>(TotalBytes(input.video)));

    const std::vector<StreamSummary> streams = Summarize(dir.File("bare.mp4"));
    const StreamSummary video = StreamOf(streams, AVMEDIA_TYPE_VIDEO);
    const StreamSummary audio = StreamOf(streams, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(video.packets, input.video.size());
    EXPECT_EQ(video.bytes, TotalBytes(input.video));
    EXPECT_EQ(audio.packets, input.audio.size());
    EXPECT_EQ(audio.bytes, TotalBytes(input.audio) - 7 * input.audio.size());
}

TEST(Summary, TellsFilesWithOneChangedPayloadApart)
{
    const TempDir dir("bench_support_test");
    CopyInput input = MakeCopyInput(1, 1, false, 48000, 128);
    auto write = [&](const std::string& name) {
        std::vector<HostBatch> batches = MakeBatches(input);
        BareWriter writer(dir.File(name), false, 48000);
        for (HostBatch& batch : batches)
            writer.Write(batch);
        writer.Finish();
        return StreamOf(Summarize(dir.File(name)), AVMEDIA_TYPE_VIDEO);
    };
    const StreamSummary a = write("a.mp4");
    input.video[7][100] ^= 1;
    const StreamSummary b = write("b.mp4");
    EXPECT_EQ(a.packets, b.packets);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.timing, b.timing);
    EXPECT_NE(a.hash, b.hash);
}

TEST(Summary, TellsTimestampsApart)
{
    const TempDir dir("bench_support_test");
    const CopyInput input = MakeCopyInput(1, 1, false, 48000, 128);
    auto write = [&](const std::string& name, std::uint64_t shift) {
        std::vector<HostBatch> batches = MakeBatches(input);
        batches[0].video.back()->timestamp += shift; // a later last picture
        BareWriter writer(dir.File(name), false, 48000);
        for (HostBatch& batch : batches)
            writer.Write(batch);
        writer.Finish();
        return StreamOf(Summarize(dir.File(name)), AVMEDIA_TYPE_VIDEO);
    };
    const StreamSummary a = write("a.mp4", 0);
    const StreamSummary b = write("b.mp4", kSecond);
    EXPECT_EQ(a.hash, b.hash);
    EXPECT_NE(a.timing, b.timing);
}

// The latency target is read at p99: nearest rank, never interpolated.
TEST(Statistics, NearestRankPercentilesMediansAndPairedRatios)
{
    std::vector<double> values;
    for (int i = 480; i >= 1; --i)
        values.push_back(i);
    EXPECT_DOUBLE_EQ(Percentile(values, 0.99), 476);
    EXPECT_DOUBLE_EQ(Percentile(values, 0.5), 240);
    EXPECT_DOUBLE_EQ(Percentile({7}, 0.99), 7);
    EXPECT_DOUBLE_EQ(Median(values), 240.5);
    EXPECT_DOUBLE_EQ(Median({3, 1, 2}), 2);
    EXPECT_DOUBLE_EQ(Max(values), 480);
    // Pair by pair, reference over library: 2, 1 and 0.5.
    EXPECT_DOUBLE_EQ(PairedRatio({2, 4, 6}, {1, 4, 12}), 1);
}

TEST(HostBytes, CountedFromAllocationToTheFreeOnAnotherThread)
{
    const std::int64_t live = HostBytesLive();
    const std::int64_t made = HostBytesMadeHere();
    auto uncounted = std::make_unique<Bytes>(1000);
    std::unique_ptr<Bytes> counted;
    {
        const CountHostBytes counting;
        counted = std::make_unique<Bytes>(5000);
    }
    EXPECT_EQ(HostBytesLive() - live, static_cast<std::int64_t>(5000 + sizeof(Bytes)));
    std::thread([&counted] { counted.reset(); }).join();
    EXPECT_EQ(HostBytesLive(), live);
    EXPECT_EQ(HostBytesMadeHere() - made, static_cast<std::int64_t>(5000 + sizeof(Bytes)));
}

TEST(RunCommand, ExitStatusOutputAndTheBenchmarkLine)
{
    const CommandRun run = RunCommand(
        {"sh", "-c", "echo out; echo 'bench: utime=0.1s stime=0.0s rtime=0.250s' >&2; echo complaint >&2; exit 3"});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.output, "out\n");
    EXPECT_DOUBLE_EQ(run.loop, 0.25);
    EXPECT_DOUBLE_EQ(run.loopCpu, 0.1);
    EXPECT_EQ(run.log, "complaint\n");
    EXPECT_GT(run.wall, 0);

    const CommandRun missing = RunCommand({"/nonexistent/tool"});
    EXPECT_NE(missing.status, 0);
    EXPECT_LT(missing.loop, 0);
}

TEST(Args, RefusesUnknownOptionsAndBadNumbers)
{
    char name[] = "bench", seconds[] = "--seconds=abc", smoke[] = "--smoke", stray[] = "--typo=1";
    char* argv[] = {name, seconds, smoke, stray};
    Args args(4, argv, "usage");
    EXPECT_THROW(args.Number("seconds", 60, 1), std::invalid_argument);
    EXPECT_TRUE(args.Flag("smoke"));
    EXPECT_THROW(args.Finish(), std::invalid_argument);
    EXPECT_DOUBLE_EQ(args.Number("runs", 5, 1), 5);
}

} // namespace
