// The size estimate, the worker behind the add calls, and the call order.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using TestMedia::Bytes;
using TestMedia::Refusal;
using TestMedia::Thrown;
using TestMedia::VideoRecord;
using Video = Mpeg::CodecIdVideo;

constexpr std::uint64_t kFrame = 400000;    // 40 ms

// Packets carry a kind ('V', 'A') and a serial number; nothing decodes them.
Bytes Tagged(char kind, std::uint32_t serial)
{
    Bytes tag = {static_cast<std::uint8_t>(kind), 'T', 'A', 'G', 0, 0, 0, 0};
    std::memcpy(tag.data() + 4, &serial, 4);
    if (kind == 'V')
        return tag;
    Bytes packet = TestMedia::AdtsHeader(16000, tag.size());
    packet.insert(packet.end(), tag.begin(), tag.end());
    return packet;
}

// The fewest and most of the first lists `written` is made of (empty lists fit anywhere).
std::pair<std::size_t, std::size_t> WholeLists(const std::vector<std::uint32_t>& written,
                                               const std::vector<std::vector<std::uint32_t>>& lists)
{
    std::vector<std::uint32_t> expected;
    std::pair<std::size_t, std::size_t> whole{SIZE_MAX, 0};
    for (std::size_t n = 0; n <= lists.size() && expected.size() <= written.size(); ++n)
    {
        if (expected == written)
            whole = {std::min(whole.first, n), n};
        if (n < lists.size())
            expected.insert(expected.end(), lists[n].begin(), lists[n].end());
    }
    EXPECT_NE(whole.first, SIZE_MAX) << written.size() << " packets are not a run of whole lists";
    return whole;
}
} // namespace

// The estimate waits for queued packets, rounds to nearest and saturates.
TEST(FacadeFile, EstimateProjectsFromTheWrittenBytes)
{
    const auto media = TestMedia::EncodeVideo("mjpeg", 176, 144, 12);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "estimate.mov", VideoRecord(Video::Mjpeg, media));
    EXPECT_EQ(Thrown([&] { facade->FinishInitMediaFile(); }),
              Refusal("FfMpegFacadeBase::FinishInitMediaFile: the file is already open"));
    const std::int64_t header = facade->EstimateFileSize(0, 1);
    std::int64_t payload = 0;
    for (const auto& packet : media.packets)
        payload += static_cast<std::int64_t>(packet.size());
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 6));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 6));

    // With one stream the muxer passes every packet straight to the file.
    const std::int64_t written = facade->EstimateFileSize(0, 5);
    EXPECT_EQ(written, header + payload);
    EXPECT_EQ(facade->EstimateFileSize(3, 1), 4 * written);
    EXPECT_EQ(facade->EstimateFileSize(1, 2 * written - 1), written + 1);
    EXPECT_EQ(facade->EstimateFileSize(1, 2 * written + 1), written);
    EXPECT_EQ(facade->EstimateFileSize(10, 0), written);
    EXPECT_EQ(facade->EstimateFileSize(10, -4), written);
    EXPECT_EQ(Thrown([&] { facade->EstimateFileSize(-5, 1); }),
              Refusal("FfMpegFacadeBase::EstimateFileSize: remaining must not be negative"));
    const std::int64_t most = INT64_MAX / written; // most * written + written > INT64_MAX
    EXPECT_EQ(facade->EstimateFileSize(most, 1), INT64_MAX);
    EXPECT_EQ(facade->EstimateFileSize(most - 1, 1), most * written);
    EXPECT_EQ(facade->EstimateFileSize(INT64_MAX, 1), INT64_MAX) << "the product itself does not fit";
    EXPECT_EQ(facade->EstimateFileSize(INT64_MAX, INT64_MAX), 2 * written);
    const std::int64_t size = facade->FinishMediaFile();
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(dir / "estimate.mov")));
}

// A list of 60 16CIF H.263 pictures takes the worker some 200 ms. Stop lets it
// finish and drops what is queued behind it and what comes after; while it
// waits, calls from another thread are refused, each in turn.
TEST(FacadeWorker, AddCallsDoNotWaitAndStopDropsWhatIsQueued)
{
    const auto media = TestMedia::EncodeVideo("h263", 1408, 1152, 80);
    TestMedia::TempDir dir;
    const fs::path path = dir / "stop.mp4";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, path, VideoRecord(Video::H263, 1408, 1152));
    const auto header = fs::file_size(path);
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 60));
    // Once the worker is inside its list the file grows past its header.
    for (const auto deadline = Clock::now() + std::chrono::seconds(20);
         fs::file_size(path) == header && Clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto added = Clock::now();
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 60, 10));
    const auto stopped = Clock::now();
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // Add calls, which a facade that let them in would take: a refusal missed fails here, not in a hang.
        for (int i = 0; i < 2; ++i)
            EXPECT_NE(Thrown([&] { facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 79)); })
                          .find("while another thread is in a call"),
                      std::string::npos);
    });
    facade->Stop();
    const auto done = Clock::now();
    other.join();
    EXPECT_LT((stopped - added) * 4, done - stopped) << "the add call waited for the list in progress";
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 70));
    EXPECT_EQ(Thrown([&] { facade->AddPacketsVideo(Mpeg::MediaPacketList(1)); }),
              Refusal("FfMpegFacadeBase::AddPacketsVideo: the lists must not hold null records"));
    facade->FinishMediaFile();
    EXPECT_EQ(TestMedia::Read(path).packets.size(), 60u);
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), 60);

    TestMedia::Open(*facade, dir / "abandoned.mp4", VideoRecord(Video::H263, 1408, 1152));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 10));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 10));
    facade.reset();
}

// Run under ThreadSanitizer in CI as well: host threads taking turns as the facade
// asks. Every list reaches the file whole and in order, up to the stop.
TEST(FacadeStress, AddCallsEstimatesAndStopFromTwoHostThreads)
{
    for (const bool withAudio : {false, true})
        for (std::uint32_t seed = 0; seed < 6; ++seed)
        {
            SCOPED_TRACE((withAudio ? "audio/video, seed " : "video, seed ") + std::to_string(seed));
            TestMedia::TempDir dir;
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            TestMedia::Open(*facade, dir / "stress.mp4", VideoRecord(Video::Mjpeg, 64, 48),
                            withAudio ? TestMedia::AudioRecord(Mpeg::CodecIdAudio::Aac, 16000, Tagged('A', 0)) : nullptr);

            std::mutex host;
            std::map<char, std::vector<std::vector<std::uint32_t>>> lists;
            std::size_t beforeStop = SIZE_MAX;
            std::thread adder([&] {
                std::mt19937 random(seed);
                std::uint32_t serial = 0;
                // Each stream on its own clock: pictures 20 ms apart, audio frames as long as they last.
                std::map<char, std::uint64_t> clock = {{'V', 0}, {'A', 0}};
                const std::map<char, std::uint64_t> step = {{'V', 200000}, {'A', std::uint64_t{1024} * 10'000'000 / 16000}};
                for (int afterStop = 0; afterStop < 20 && clock['V'] < 2000 * 200000;)
                {
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
                    std::lock_guard<std::mutex> lock(host);
                    afterStop += beforeStop != SIZE_MAX;
                    Mpeg::MediaPacketList packets[2];
                    for (const char kind : {'V', 'A'})
                    {
                        auto& tags = lists[kind].emplace_back();
                        for (auto n = random() % (random() % 4 ? 4 : 30); n > 0 && (kind == 'V' || withAudio); --n)
                        {
                            tags.push_back(++serial);
                            packets[kind == 'A'].push_back(std::make_unique<Mpeg::MediaPacket>(
                                Mpeg::MediaPacket{Tagged(kind, serial), clock[kind] += step.at(kind)}));
                        }
                    }
                    withAudio ? facade->AddPacketsAudioVideo(std::move(packets[0]), std::move(packets[1]))
                              : facade->AddPacketsVideo(std::move(packets[0]));
                }
            });
            std::thread other([&] {
                for (int i = 0; i < 20; ++i)
                {
                    std::this_thread::sleep_for(std::chrono::microseconds(300 * (seed + 1)));
                    std::lock_guard<std::mutex> lock(host);
                    EXPECT_GT(facade->EstimateFileSize(1, 1), 0);
                }
                std::lock_guard<std::mutex> lock(host);
                if (seed % 2 == 0)
                {
                    facade->Stop();
                    beforeStop = lists['V'].size();
                }
            });
            adder.join();
            other.join();
            EXPECT_GT(facade->FinishMediaFile(), 0);

            std::map<char, std::vector<std::uint32_t>> written;
            for (const auto& packet : TestMedia::Read(dir / "stress.mp4").packets)
                if (packet.data.size() >= 8 && std::memcmp(packet.data.data() + packet.data.size() - 7, "TAG", 3) == 0)
                {
                    std::uint32_t serial = 0;
                    std::memcpy(&serial, packet.data.data() + packet.data.size() - 4, 4);
                    written[static_cast<char>(packet.data[packet.data.size() - 8])].push_back(serial);
                }
            for (const char kind : {'V', 'A'})
            {
                const auto [fewest, most] = WholeLists(written[kind], lists[kind]);
                EXPECT_TRUE(fewest <= beforeStop && (beforeStop != SIZE_MAX || most == lists[kind].size()))
                    << kind << ": " << fewest << " of " << lists[kind].size() << " lists, stopped at " << beforeStop;
            }
        }
}

// Hosts run many exports at once. Facades share nothing, so an export
// running beside others writes the file it writes alone, on the transcoding
// paths (H.263 and mu-law into MPEG-4 and AAC) as on the copy paths (MPEG-4
// and ADTS AAC); ThreadSanitizer runs this with the facade label.
TEST(FacadeStress, ExportsAtOnceWriteWhatEachWritesAlone)
{
    struct Path
    {
        Video codec;
        TestMedia::EncodedStream video;
        Mpeg::CodecIdAudio audioCodec;
        std::int32_t rate;
        std::vector<Mpeg::MediaPacket> audio;
    };
    const auto adts = TestMedia::EncodeTone("aac", 16000, 2, 440, true);
    const Path paths[] = {
        {Video::H263, TestMedia::EncodeVideo("h263", 176, 144, 50), Mpeg::CodecIdAudio::PcmMulaw, 8000,
         TestMedia::TimedAudio(TestMedia::EncodeTone("pcm_mulaw", 8000, 2, 440))},
        {Video::Mpeg4, TestMedia::EncodeVideo("mpeg4", 176, 144, 50), Mpeg::CodecIdAudio::Aac, 16000,
         TestMedia::TimedAudio(adts)},
    };
    TestMedia::TempDir dir;
    const auto run = [&](std::size_t path, const fs::path& file) {
        const Path& p = paths[path];
        TestMedia::ExportFile(file, TestMedia::VideoRecord(p.codec, p.video),
                              TestMedia::AudioRecord(p.audioCodec, p.rate, p.audio.front().data), p.video, 50, 5,
                              &p.audio);
    };
    for (std::size_t path = 0; path < 2; ++path)
        run(path, dir / ("alone-" + std::to_string(path) + ".mp4"));
    std::vector<std::thread> hosts;
    for (std::size_t i = 0; i < 6; ++i)
        hosts.emplace_back(run, i % 2, dir / ("together-" + std::to_string(i) + ".mp4"));
    for (std::thread& host : hosts)
        host.join();
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(TestMedia::FileBytes(dir / ("together-" + std::to_string(i) + ".mp4")),
                  TestMedia::FileBytes(dir / ("alone-" + std::to_string(i % 2) + ".mp4")))
            << "export " << i;
    EXPECT_EQ(TestMedia::Read(dir / "alone-0.mp4").streams.size(), 2u);
}

// Calls that overlap from two threads, outside the contract: the later one
// is refused, nothing crashes or hangs, and what was taken reaches the file.
TEST(FacadeMisuse, OverlappingCallsFromTwoThreadsAreRefused)
{
    const auto media = TestMedia::EncodeVideo("mjpeg", 64, 48, 25);
    for (const bool withAudio : {false, true})
    {
        SCOPED_TRACE(withAudio ? "audio/video" : "video only");
        TestMedia::TempDir dir;
        auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
        TestMedia::Open(*facade, dir / "race.mp4", VideoRecord(Video::Mjpeg, media),
                        withAudio ? TestMedia::AudioRecord(Mpeg::CodecIdAudio::PcmMulaw, 8000) : nullptr);
        std::atomic<int> taken{0}, refused{0};
        auto host = [&](std::uint64_t offset) {
            for (std::uint64_t i = 0; i < 400; ++i)
            {
                const std::string thrown = Thrown([&] {
                    auto pictures = TestMedia::ToHostPackets(media, (2 * i + offset) * 25 * kFrame, kFrame);
                    withAudio ? facade->AddPacketsAudioVideo(std::move(pictures), {})
                              : facade->AddPacketsVideo(std::move(pictures));
                });
                if (thrown == "nothing")
                    ++taken;
                else if (thrown.find("called while another thread is in a call on the same facade") !=
                         std::string::npos)
                    ++refused;
                else
                    ADD_FAILURE() << thrown;
            }
        };
        std::thread other(host, 1);
        host(0);
        other.join();
        EXPECT_GT(facade->FinishMediaFile(), 0);
        EXPECT_EQ(taken + refused, 800);
        // Lists from both hosts interleave; the muxer keeps the pictures that go forward in time.
        EXPECT_GT(TestMedia::DecodeFrameCount(dir / "race.mp4", 0), 0);
    }
}

// Calls out of order are refused by the call's own check (what it throws
// names where), and what was set up for a file given up before it was
// opened leaves nothing behind.
TEST(FacadeMisuse, CallsOutOfOrderAreRefusedByTheirOwnCheck)
{
    TestMedia::TempDir dir;
    const std::string base = "FfMpegFacadeBase::", sync = "FfMpegFacadeSynchronized::";
    const std::string videoOnly = "Audio-related call to video-only adapter";
    const auto audio = [] { return TestMedia::AudioRecord(Mpeg::CodecIdAudio::PcmMulaw, 8000); };
    const Mpeg::MediaPacket first{{1, 2, 3, 4, 5, 6, 7, 8}, 10};
    const std::wstring name = TestMedia::Wide(dir / "x.mp4");
    for (const bool withAudio : {false, true})
    {
        SCOPED_TRACE(withAudio ? "audio/video" : "video only");
        auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
        const auto refused = [](const std::function<void()>& call, const std::string& where) {
            const std::string expected = Refusal(where), thrown = Thrown(call);
            EXPECT_EQ(thrown.substr(0, expected.size()), expected) << thrown;
        };
        const auto add = [&] { withAudio ? facade->AddPacketsAudioVideo({}, {}) : facade->AddPacketsVideo({}); };
        const std::string adding = withAudio ? sync + "AddPacketsAudioVideo" : base + "AddPacketsVideo";
        const std::pair<std::function<void()>, std::string> beforeStart[] = {
            {[&] { facade->InitStreamVideo(VideoRecord(Video::Mpeg4, 96, 64)); }, base + "InitStreamVideo"},
            {[&] { facade->InitStreamAudio(audio()); }, withAudio ? sync + "InitStreamAudio" : videoOnly},
            {[&] { facade->FinishInitMediaFile(); }, base + "FinishInitMediaFile"},
            {add, adding},
            {[&] { facade->EstimateFileSize(1, 1); }, base + "EstimateFileSize"},
            {[&] { facade->SplitMediaFileVideo(name, 0); }, (withAudio ? sync : base) + "SplitMediaFileVideo"},
            {[&] { facade->SplitMediaFileAudioVideo(name, 10, first); },
             withAudio ? sync + "SplitMediaFileAudioVideo" : videoOnly},
            {[&] { withAudio ? facade->AddPacketsVideo({}) : facade->AddPacketsAudioVideo({}, {}); },
             withAudio ? sync + "AddPacketsVideo" : videoOnly},
        };
        for (const auto& [call, where] : beforeStart)
            refused(call, where);

        facade->StartInitMediaFile(TestMedia::Wide(dir / "given-up.mp4"));
        refused([&] { facade->StartInitMediaFile(name); }, base + "StartInitMediaFile");
        // Neither a stream the build refuses nor a null record is installed.
        EXPECT_EQ(Thrown([&] { facade->InitStreamVideo(VideoRecord(Video::None, 96, 64)); }),
                  TestMedia::AvError(AVERROR_EXIT, "Codec id '0' not found."));
        refused([&] { facade->InitStreamVideo(nullptr); }, base + "InitStreamVideo: the record must not be null");
        refused([&] { facade->FinishInitMediaFile(); }, base + "FinishInitMediaFile");
        facade->InitStreamVideo(VideoRecord(Video::Mpeg4, 96, 64));
        refused([&] { facade->InitStreamVideo(VideoRecord(Video::Mpeg4, 96, 64)); }, base + "InitStreamVideo");
        if (withAudio)
        {
            refused([&] { facade->InitStreamAudio(nullptr); }, sync + "InitStreamAudio: the record must not be null");
            refused([&] { facade->FinishInitMediaFile(); }, sync + "FinishInitMediaFile");
            facade->InitStreamAudio(audio());
            refused([&] { facade->InitStreamAudio(audio()); }, sync + "InitStreamAudio");
        }
        refused(add, adding);
        EXPECT_EQ(facade->FinishMediaFile(), 0);
        EXPECT_TRUE(fs::is_empty(dir.Path()));
    }
}
