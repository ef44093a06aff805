// Video with audio as a host hands it over, read back and played with
// libavformat: copied or transcoded audio in sync, silence where audio is
// missing but never across a clock jump, one stream held back for the other.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace
{
namespace fs = std::filesystem;
using Audio = Mpeg::CodecIdAudio;
using TestMedia::Bytes;
using TestMedia::EncodedStream;

constexpr std::uint64_t kSecond = 10000000; // host clock: 100-ns units
constexpr std::uint64_t kFrame = 400000;    // 40 ms
constexpr std::size_t kAdtsHeader = 7;

// Six seconds of 25 fps pictures that flash white in the first fifth of every second.
const EncodedStream& Video()
{
    static const EncodedStream video = TestMedia::EncodeVideo("mpeg4", 160, 120, 150, 25, 25, true, 0, false, true);
    return video;
}

std::uint64_t AudioTime(const EncodedStream& audio, std::size_t i)
{
    return i * static_cast<std::uint64_t>(audio.frameSize) * kSecond / static_cast<std::uint64_t>(audio.sampleRate);
}

std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord(Audio codec, int rate, const Bytes& first, std::uint64_t start)
{
    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    record->startTime = start;
    record->timeScale = rate;
    record->codecId = codec;
    record->firstPacketHeader.assign(first.begin(), first.begin() + std::min<std::size_t>(8, first.size()));
    return record;
}

std::shared_ptr<Mpeg::IFfMpegFacade> Open(const fs::path& path, Audio codec, const EncodedStream& audio,
                                          std::uint64_t start = 0)
{
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    facade->StartInitMediaFile(TestMedia::Wide(path));
    facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, Video(), 25, start));
    facade->InitStreamAudio(AudioRecord(codec, audio.sampleRate, audio.packets.front(), start));
    facade->FinishInitMediaFile();
    return facade;
}

// Adds pictures [first, last) in 200 ms batches, each with the audio packets
// of the same stretch for which `keep` holds (host time of the packet); video
// and audio times are counted from `start`.
void Feed(Mpeg::IFfMpegFacade& facade, const EncodedStream& audio, const std::function<bool(std::uint64_t)>& keep,
          std::size_t first = 0, std::size_t last = 150, std::uint64_t start = 0)
{
    for (std::size_t v = first, a = 0; v < last; v += 5)
    {
        Mpeg::MediaPacketList sound;
        for (; a < audio.packets.size() && AudioTime(audio, a) < (v + 5) * kFrame; ++a)
            if (AudioTime(audio, a) >= v * kFrame && keep(AudioTime(audio, a)))
                sound.push_back(std::make_unique<Mpeg::MediaPacket>(
                    Mpeg::MediaPacket{audio.packets[a], start + AudioTime(audio, a)}));
        facade.AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), start, kFrame, v, 5), std::move(sound));
    }
}

bool All(std::uint64_t)
{
    return true;
}

// The audio packets of a file (a track without samples is not listed, so
// streams go by codec).
std::vector<TestMedia::ReadPacket> AudioPackets(const TestMedia::ReadFile& file)
{
    std::vector<TestMedia::ReadPacket> audio;
    for (const auto& packet : file.packets)
        if (file.streams[packet.streamIndex].codecId != Video().codecId)
            audio.push_back(packet);
    return audio;
}

// The payloads of ADTS packets [first, last) without their headers.
std::vector<Bytes> WithoutAdts(const EncodedStream& audio, std::size_t first, std::size_t last)
{
    std::vector<Bytes> payloads;
    for (std::size_t i = first; i < last; ++i)
        payloads.emplace_back(audio.packets[i].begin() + kAdtsHeader, audio.packets[i].end());
    return payloads;
}

std::vector<Bytes> Payloads(const std::vector<TestMedia::ReadPacket>& packets)
{
    std::vector<Bytes> payloads;
    for (const auto& packet : packets)
        payloads.push_back(packet.data);
    return payloads;
}

std::size_t Before(const EncodedStream& audio, std::uint64_t time)
{
    std::size_t n = 0;
    while (n < audio.packets.size() && AudioTime(audio, n) < time)
        ++n;
    return n;
}
} // namespace

// MP4 copies AAC (without its ADTS headers) and MP2 and turns G.711 and G.726
// into AAC; MOV copies G.711 and turns G.726 into Microsoft ADPCM. A 1 kHz
// beep in the first fifth of every second plays with the flashes: transcoded
// audio where the same source copied into MOV plays (the reference, first),
// every path within what viewers accept (45 ms), and no audio lost at the end.
TEST(SynchronizedExport, AudioIsCopiedOrTranscodedAndPlaysInSync)
{
    struct Case
    {
        const char* encoder;
        Audio codec;
        int rate;
        const char* extension;
        AVCodecID written;
        int frame; // samples of one packet as written
    };
    const Case cases[] = {
        {"pcm_mulaw", Audio::PcmMulaw, 8000, "mov", AV_CODEC_ID_PCM_MULAW, 160},
        {"pcm_mulaw", Audio::PcmMulaw, 8000, "mp4", AV_CODEC_ID_AAC, 1024},
        {"pcm_alaw", Audio::PcmAlaw, 8000, "mov", AV_CODEC_ID_PCM_ALAW, 160},
        {"g726", Audio::G726, 8000, "mov", AV_CODEC_ID_ADPCM_MS, 2036},
        {"g726le", Audio::G726le, 8000, "mp4", AV_CODEC_ID_AAC, 1024},
        {"mp2", Audio::Mp2, 16000, "mp4", AV_CODEC_ID_MP2, 1152},
        {"aac", Audio::Aac, 16000, "mp4", AV_CODEC_ID_AAC, 1024},
    };
    double reference = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.encoder) + " into ." + c.extension);
        const bool adts = c.codec == Audio::Aac;
        const EncodedStream audio = TestMedia::EncodeTone(c.encoder, c.rate, 6, 1000, adts, true);
        TestMedia::TempDir dir;
        const fs::path path = dir / (std::string("sync.") + c.extension);
        auto facade = Open(path, c.codec, audio);
        Feed(*facade, audio, All);
        const std::int64_t size = facade->FinishMediaFile();
        EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));

        const TestMedia::ReadFile file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), 2u);
        // The MP4 reader of FFmpeg 5.1 and 7.1 names every MPEG audio layer MP3.
        const AVCodecID read = file.streams[1].codecId;
        EXPECT_EQ(read == AV_CODEC_ID_MP3 && c.written == AV_CODEC_ID_MP2 ? c.written : read, c.written);
        const std::size_t handed = Before(audio, 150 * kFrame);
        EXPECT_TRUE(!adts || Payloads(AudioPackets(file)) == WithoutAdts(audio, 0, handed));

        const TestMedia::Sync sync = TestMedia::MeasureSync(path);
        EXPECT_EQ(sync.pairs, 6);
        EXPECT_LE(std::abs(sync.offset), 0.045);
        if (&c == cases)
            reference = sync.offset;
        EXPECT_TRUE(c.written == audio.codecId || std::abs(sync.offset - reference) < 0.005) << sync.offset;
        const double input = static_cast<double>(handed * static_cast<std::size_t>(audio.frameSize)) / c.rate;
        EXPECT_NEAR(sync.audioSeconds, input, static_cast<double>(c.frame) / c.rate);
    }
}

// The host's clock jumps: audio resuming a day ahead of its video stays a gap
// (filling it would write some 691 million copied PCM packets, or a day of
// encoded silence); video whose own clock jumps by years does not cover the
// jump. An hour the video covers is filled, every frame of it, quickly.
TEST(SynchronizedExport, ClockJumpsAreNotFilledWithSilence)
{
    constexpr std::uint64_t kHour = 3'600ull * kSecond;
    constexpr std::uint64_t kYears = 10 * 365 * 24 * kHour;
    const EncodedStream pcm = TestMedia::EncodeTone("pcm_s16be", 8000, 1, 440);
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
        SCOPED_TRACE(std::string(name) + " after " + std::to_string(jump / kHour) + " h");
        TestMedia::TempDir dir;
        auto facade = Open(dir / name, Audio::PcmS16be, pcm);
        const auto began = std::chrono::steady_clock::now();
        facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), 0, kFrame, 0, 5),
                                     audioFirst ? TestMedia::ToHostPackets(pcm, 0, kFrame / 2, 0, 5)
                                                : Mpeg::MediaPacketList{});
        facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), videoToo ? jump : 0, kFrame, 5, 5),
                                     TestMedia::ToHostPackets(pcm, jump, kFrame / 2, 0, 40));
        EXPECT_GT(facade->FinishMediaFile(), 0);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 20);

        const auto audio = AudioPackets(TestMedia::Read(dir / name));
        if (jump != kHour)
        {
            EXPECT_LT(audio.size(), 100u);
            continue;
        }
        ASSERT_GT(audio.size(), 3600u * 8000 / 1024);
        for (std::size_t i = 1; i < audio.size(); ++i)
            ASSERT_EQ(audio[i].pts - audio[i - 1].pts, 1024) << i;
    }
}

// Video is held back while the audio lists are empty and written with the
// audio once it arrives, so late audio is not taken for a gap; video that
// never yields a packet (all before the start) leaves the audio to be written
// on its own at the end.
TEST(SynchronizedExport, OneStreamWaitsForTheOther)
{
    const EncodedStream aac = TestMedia::EncodeTone("aac", 16000, 6, 440, true);
    for (const bool videoBeforeStart : {false, true})
    {
        SCOPED_TRACE(videoBeforeStart ? "no video" : "audio lagging");
        TestMedia::TempDir dir;
        const std::uint64_t start = videoBeforeStart ? 10 * kSecond : 0;
        auto facade = Open(dir / "held.mp4", Audio::Aac, aac, start);
        std::size_t a = 0;
        for (std::size_t v = 0; v < 150; v += 5)
        {
            Mpeg::MediaPacketList sound;
            // Lagging: nothing for the first second, then everything up to now at once.
            const std::uint64_t now = (v + 5) * kFrame;
            for (; (videoBeforeStart || now > kSecond) && a < aac.packets.size() && AudioTime(aac, a) < now; ++a)
                sound.push_back(
                    std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{aac.packets[a], start + AudioTime(aac, a)}));
            facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), 0, kFrame, v, 5), std::move(sound));
        }
        EXPECT_GT(facade->FinishMediaFile(), 0);
        const TestMedia::ReadFile file = TestMedia::Read(dir / "held.mp4");
        EXPECT_EQ(file.packets.size() - AudioPackets(file).size(), videoBeforeStart ? 0u : 150u);
        EXPECT_TRUE(Payloads(AudioPackets(file)) == WithoutAdts(aac, 0, a)) << AudioPackets(file).size();
    }
}

// Splitting finishes the first file and starts the next with both streams,
// timed from the new start; the next audio record is made from the first
// packet given, so ADTS framing is recognised (and stripped) again.
TEST(SynchronizedExport, SplitGivesTwoCompleteFiles)
{
    const EncodedStream aac = TestMedia::EncodeTone("aac", 16000, 6, 440, true);
    TestMedia::TempDir dir;
    auto facade = Open(dir / "a.mp4", Audio::Aac, aac);
    Feed(*facade, aac, All, 0, 50);
    const std::size_t split = Before(aac, 50 * kFrame);
    const Mpeg::MediaPacket first{aac.packets[split], AudioTime(aac, split)};
    const std::int64_t size = facade->SplitMediaFileAudioVideo(TestMedia::Wide(dir / "b.mp4"), 50 * kFrame, first);
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(dir / "a.mp4")));
    Feed(*facade, aac, All, 50);
    facade->FinishMediaFile();

    const TestMedia::ReadFile a = TestMedia::Read(dir / "a.mp4"), b = TestMedia::Read(dir / "b.mp4");
    EXPECT_EQ(a.packets.size() - AudioPackets(a).size(), 50u);
    EXPECT_EQ(b.packets.size() - AudioPackets(b).size(), 100u);
    EXPECT_TRUE(Payloads(AudioPackets(a)) == WithoutAdts(aac, 0, split));
    EXPECT_TRUE(Payloads(AudioPackets(b)) == WithoutAdts(aac, split, Before(aac, 150 * kFrame)));
    // 48 ms after the new start.
    EXPECT_EQ(AudioPackets(b).front().pts, 768);
}
