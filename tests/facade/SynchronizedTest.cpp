// Video with audio as a host hands it over, read back and played with libavformat.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

namespace
{
namespace fs = std::filesystem;
using Audio = Mpeg::CodecIdAudio;
using TestMedia::Bytes;
using TestMedia::EncodedStream;

constexpr std::uint64_t kSecond = 10000000; // host clock: 100-ns units
constexpr std::uint64_t kFrame = 400000;    // 40 ms

// Six seconds of 25 fps pictures that flash white in the first fifth of every second.
const EncodedStream& Video()
{
    static const EncodedStream video = TestMedia::EncodeVideo("mpeg4", 160, 120, 150, 25, 25, true, 0, false, true);
    return video;
}

// How many of the packets come before `time`.
std::size_t AudioAt(const std::vector<Mpeg::MediaPacket>& audio, std::uint64_t time)
{
    return static_cast<std::size_t>(std::count_if(audio.begin(), audio.end(),
                                                  [&](const Mpeg::MediaPacket& p) { return p.timestamp < time; }));
}

std::shared_ptr<Mpeg::IFfMpegFacade> Open(const fs::path& path, Audio codec, const EncodedStream& audio)
{
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    TestMedia::Open(*facade, path, TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, Video()),
                    TestMedia::AudioRecord(codec, audio.sampleRate, audio.packets[0]));
    return facade;
}

// A track without samples is not listed, so streams go by codec.
struct Track
{
    std::vector<std::int64_t> pts;
    std::vector<Bytes> data;
    std::size_t pictures = 0;
};

Track ReadAudio(const fs::path& path)
{
    const TestMedia::ReadFile file = TestMedia::Read(path);
    Track track;
    for (const auto& packet : file.packets)
        if (file.streams[packet.streamIndex].codecId == Video().codecId)
            ++track.pictures;
        else
            track.pts.push_back(packet.pts), track.data.push_back(packet.data);
    return track;
}

// The payloads of ADTS packets [first, last) without their 7-byte headers.
std::vector<Bytes> WithoutAdts(const EncodedStream& audio, std::size_t first, std::size_t last)
{
    std::vector<Bytes> payloads;
    for (std::size_t i = first; i < last; ++i)
        payloads.emplace_back(audio.packets[i].begin() + 7, audio.packets[i].end());
    return payloads;
}
} // namespace

// Audio resuming a day ahead of its video stays a gap (filling it would write a day
// of silence), as does a jump of the video's own clock by years; an hour the
// video covers is filled, every frame of it, quickly.
TEST(SynchronizedExport, ClockJumpsAreNotFilledWithSilence)
{
    constexpr std::uint64_t kHour = 3'600ull * kSecond;
    const EncodedStream pcm = TestMedia::EncodeTone("pcm_s16be", 8000, 1, 440);
    const std::tuple<const char*, std::uint64_t, bool> cases[] = {
        // name, jump, the video jumps too
        {"copied.mov", 24 * kHour, false},
        {"transcoded.mp4", kHour, true},
        {"transcoded.mp4", 10 * 365 * 24 * kHour, true},
    };
    for (const auto& [name, jump, videoToo] : cases)
    {
        SCOPED_TRACE(std::string(name) + " after " + std::to_string(jump / kHour) + " h");
        TestMedia::TempDir dir;
        auto facade = Open(dir / name, Audio::PcmS16be, pcm);
        const auto began = std::chrono::steady_clock::now();
        facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), 0, kFrame, 0, 5),
                                     TestMedia::ToHostPackets(pcm, 0, kFrame / 2, 0, 5));
        facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), videoToo ? jump : 0, kFrame, 5, 5),
                                     TestMedia::ToHostPackets(pcm, jump, kFrame / 2, 0, 40));
        EXPECT_GT(facade->FinishMediaFile(), 0);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_LT(seconds, 20);
        if (jump == kHour)
            std::cout << "[ figures  ] an hour of missing audio exported in " << seconds << " s\n";

        const std::vector<std::int64_t> pts = ReadAudio(dir / name).pts;
        EXPECT_TRUE(jump == kHour ? pts.size() > 3600u * 8000 / 1024 : pts.size() < 100u) << pts.size();
        for (std::size_t i = 1; jump == kHour && i < pts.size(); ++i)
            ASSERT_EQ(pts[i] - pts[i - 1], 1024) << i;
    }
}

// The next file is timed from the split, and its audio record comes from the first
// packet given, so ADTS framing is recognised (and stripped) again.
TEST(SynchronizedExport, SplitGivesTwoCompleteFiles)
{
    const EncodedStream aac = TestMedia::EncodeTone("aac", 16000, 6, 440, true);
    TestMedia::TempDir dir;
    const auto timed = TestMedia::TimedAudio(aac);
    auto facade = Open(dir / "a.mp4", Audio::Aac, aac);
    TestMedia::AddInLists(*facade, Video(), 0, 50, 5, &timed);
    const std::size_t split = AudioAt(timed, 50 * kFrame);
    const std::int64_t size =
        facade->SplitMediaFileAudioVideo(TestMedia::Wide(dir / "b.mp4"), 50 * kFrame, timed[split]);
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(dir / "a.mp4")));
    TestMedia::AddInLists(*facade, Video(), 50, 150, 5, &timed);
    facade->FinishMediaFile();

    const Track a = ReadAudio(dir / "a.mp4"), b = ReadAudio(dir / "b.mp4");
    EXPECT_EQ(std::tuple(a.pictures, b.pictures), std::tuple(50u, 100u));
    EXPECT_TRUE(a.data == WithoutAdts(aac, 0, split));
    EXPECT_TRUE(b.data == WithoutAdts(aac, split, AudioAt(timed, 150 * kFrame)));
    EXPECT_EQ(b.pts.at(0), 768) << "48 ms after the new start";
}
