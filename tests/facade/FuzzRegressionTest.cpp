// Call sequences the fuzzers (fuzz/) found to hang the facades or to
// overflow, replayed as tests.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

namespace
{
using Audio = Mpeg::CodecIdAudio;
using TestMedia::Bytes;
using TestMedia::Thrown;

constexpr std::uint64_t kStart = 130'000'000'000'000'000; // host clock, 100-ns units
constexpr std::uint64_t kFrame = 400'000;                // 40 ms

const TestMedia::EncodedStream& Video()
{
    static const TestMedia::EncodedStream video = TestMedia::EncodeVideo("mpeg4", 64, 48, 10);
    return video;
}

std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord(Audio codec, std::int32_t rate)
{
    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    record->codecId = codec;
    record->timeScale = rate;
    record->startTime = kStart;
    return record;
}

Mpeg::MediaPacketList VideoPackets(std::size_t first, std::size_t count)
{
    return TestMedia::ToHostPackets(Video(), kStart, kFrame, first, count);
}

// `count` packets of 20 ms of 16-bit silence from host time `at` on.
Mpeg::MediaPacketList SilentPcm(std::uint64_t at, std::size_t count)
{
    Mpeg::MediaPacketList list;
    for (std::size_t i = 0; i < count; ++i)
        list.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{Bytes(320, 0), at + i * 200'000}));
    return list;
}
} // namespace

// PCM declared at 1 Hz into MP4: every 1440-byte packet stood for 12 minutes
// of audio, which the chain resampled to 96 kHz and encoded (minutes of work
// per packet). InitStreamAudio refuses the rate, and the facade takes a usable
// record after the refused one.
TEST(FuzzRegression, AnAudioRateOfOneHertzIsRefusedAndAUsableRecordStillWorks)
{
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    facade->StartInitMediaFile(TestMedia::Wide(dir / "f.mp4"));
    facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, Video(), 25, kStart));
    EXPECT_EQ(Thrown([&] { facade->InitStreamAudio(AudioRecord(Audio::PcmS16be, 1)); }),
              "FfMpegFacadeException: FfMpegFacade: StreamAudio::StreamAudio: timeScale must be a sample rate from "
              "1000 to 384000");

    facade->InitStreamAudio(AudioRecord(Audio::PcmS16be, 8000));
    facade->FinishInitMediaFile();
    facade->AddPacketsAudioVideo(VideoPackets(0, 10), SilentPcm(kStart, 20));
    EXPECT_GT(facade->FinishMediaFile(), 0);

    const TestMedia::ReadFile file = TestMedia::Read(dir / "f.mp4");
    ASSERT_EQ(file.streams.size(), 2u);
    EXPECT_EQ(file.streams[1].codecId, AV_CODEC_ID_AAC);
    std::size_t audio = 0;
    for (const auto& packet : file.packets)
        audio += packet.streamIndex == 1 ? 1 : 0;
    EXPECT_GT(audio, 0u);
}

// The clock jump of the audio chain's test, through the facade: the second
// batch's audio comes a day after the first. Copied PCM into MOV would have
// had the day filled with copies of a one-sample silent packet (691 million
// of them), transcoded PCM into MP4 with a day of encoded silence and then
// copies of a silent AAC packet. Audio resuming beyond the video stays a gap;
// an hour that the video covers is filled, every frame of it, quickly. Video
// whose own clock jumps by years does not cover the jump: filling it hung the
// export, either as the gap at the start of a batch of pictures spanning the
// jump (copied) or as a hole of the audio chain (transcoded).
TEST(FuzzRegression, AudioJumpingADayAheadIsNotFilledWithSilence)
{
    constexpr std::uint64_t kHour = 3'600ull * 10'000'000;
    constexpr std::uint64_t kYears = 10 * 365 * 24 * kHour;
    const std::tuple<const char*, std::uint64_t, bool, bool> cases[] = {
        // name, jump, the video jumps too, audio in the first batch
        {"copied.mov", 24 * kHour, false, true},
        {"transcoded.mp4", 24 * kHour, false, true},
        {"transcoded.mp4", kHour, true, true},
        {"copied.mov", kYears, true, false},
        {"transcoded.mp4", kYears, true, true},
    };
    for (const auto& [name, jump, videoToo, audioFirst] : cases)
    {
        SCOPED_TRACE(std::string(name) + " after " + std::to_string(jump / kHour) + " h" +
                     (videoToo ? " with the video" : ""));
        TestMedia::TempDir dir;
        auto facade = Mpeg::IFfMpegFacade::Create(true);
        facade->StartInitMediaFile(TestMedia::Wide(dir / name));
        facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, Video(), 25, kStart));
        facade->InitStreamAudio(AudioRecord(Audio::PcmS16be, 8000));
        facade->FinishInitMediaFile();
        const auto began = std::chrono::steady_clock::now();
        facade->AddPacketsAudioVideo(VideoPackets(0, 5), audioFirst ? SilentPcm(kStart, 5) : Mpeg::MediaPacketList{});
        facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), kStart + (videoToo ? jump : 0), kFrame, 5, 5),
                                     SilentPcm(kStart + jump, 50));
        EXPECT_GT(facade->FinishMediaFile(), 0);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_LT(seconds, 20);

        const TestMedia::ReadFile file = TestMedia::Read(dir / name);
        std::vector<std::int64_t> audio;
        for (const auto& packet : file.packets)
            if (packet.streamIndex == 1)
                audio.push_back(packet.pts);
        if (jump != kHour)
        {
            EXPECT_LT(audio.size(), 100u);
            continue;
        }
        std::cout << "[ figures  ] an hour of missing audio exported in " << seconds << " s\n";
        ASSERT_GT(audio.size(), 3600u * 8000 / 1024);
        for (std::size_t i = 1; i < audio.size(); ++i)
            ASSERT_EQ(audio[i] - audio[i - 1], 1024) << i;
    }
}

// Four pictures written, then an estimate whose projection lands just past
// INT64_MAX: the sum overflowed (undefined behaviour, in practice a negative
// size). Projections past the largest size now saturate; one just below it
// is still exact.
TEST(FuzzRegression, EstimatesPastTheLargestSizeSaturate)
{
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "f.mp4", TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, Video(), 25, kStart));
    facade->AddPacketsVideo(VideoPackets(0, 4));
    const std::int64_t size = facade->EstimateFileSize(0, 1);
    ASSERT_GT(size, 0);

    const std::int64_t most = INT64_MAX / size; // most * size + size > INT64_MAX
    EXPECT_EQ(facade->EstimateFileSize(most, 1), INT64_MAX);
    EXPECT_EQ(facade->EstimateFileSize(most - 1, 1), most * size);
    EXPECT_EQ(facade->EstimateFileSize(INT64_MAX, 1), INT64_MAX) << "the product itself does not fit";
    EXPECT_EQ(facade->EstimateFileSize(INT64_MAX, INT64_MAX), 2 * size);
    EXPECT_GT(facade->FinishMediaFile(), 0);
}
