// Video with audio, handed over as a host would and read back with
// libavformat: which audio is copied or transcoded, its timing, silence where
// audio is missing, holding one stream back for the other, splitting, misuse
// and failures.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <string>

namespace
{
namespace fs = std::filesystem;
using Audio = Mpeg::CodecIdAudio;
using TestMedia::Bytes;
using TestMedia::EncodedStream;
using TestMedia::Thrown;

constexpr std::uint64_t kSecond = 10000000; // host clock: 100-ns units
constexpr std::uint64_t kFrame = 400000;    // 40 ms
constexpr std::uint64_t kBatch = 5 * kFrame;
constexpr std::size_t kAdtsHeader = 7;

// Four seconds of 25 fps video.
const EncodedStream& Video()
{
    static const EncodedStream video =
        TestMedia::EncodeVideo(TestMedia::HasEncoder("libx264") ? "libx264" : "mpeg4", 320, 240, 100, 25, 25, true);
    return video;
}

Mpeg::CodecIdVideo VideoCodec()
{
    return Video().codecId == AV_CODEC_ID_H264 ? Mpeg::CodecIdVideo::H264 : Mpeg::CodecIdVideo::Mpeg4;
}

const EncodedStream& Mulaw()
{
    static const EncodedStream audio = TestMedia::EncodeTone("pcm_mulaw", 8000, 4, 440);
    return audio;
}

const EncodedStream& Adts()
{
    static const EncodedStream audio = TestMedia::EncodeTone("aac", 16000, 4, 440, true);
    return audio;
}

std::uint64_t AudioTime(const EncodedStream& audio, std::size_t i)
{
    return i * static_cast<std::uint64_t>(audio.frameSize) * kSecond / static_cast<std::uint64_t>(audio.sampleRate);
}

std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord(Audio codec, int rate, const Bytes& firstPacket,
                                                         std::uint64_t startTime = 0)
{
    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    record->startTime = startTime;
    record->timeScale = rate;
    record->codecId = codec;
    record->firstPacketHeader.assign(firstPacket.begin(), firstPacket.begin() + std::min<std::size_t>(8, firstPacket.size()));
    return record;
}

std::shared_ptr<Mpeg::IFfMpegFacade> Open(const fs::path& path, Audio codec, const EncodedStream& audio,
                                          std::uint64_t videoStart = 0)
{
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    facade->StartInitMediaFile(TestMedia::Wide(path));
    facade->InitStreamVideo(TestMedia::VideoRecord(VideoCodec(), Video(), 25, videoStart));
    facade->InitStreamAudio(AudioRecord(codec, audio.sampleRate, audio.packets.front(), videoStart));
    facade->FinishInitMediaFile();
    return facade;
}

// Adds the video in 200 ms batches, each with the audio packets of the same
// stretch for which `keep` holds (host time of the packet).
void Feed(Mpeg::IFfMpegFacade& facade, const EncodedStream& audio,
          const std::function<bool(std::uint64_t)>& keep = [](std::uint64_t) { return true; },
          std::uint64_t videoOffset = 0, std::size_t firstFrame = 0, std::size_t lastFrame = SIZE_MAX,
          const EncodedStream& pictures = Video())
{
    std::size_t a = 0;
    for (std::size_t v = firstFrame; v < std::min(lastFrame, pictures.packets.size()); v += 5)
    {
        const std::uint64_t end = (v + 5) * kFrame;
        Mpeg::MediaPacketList video;
        for (std::size_t i = v; i < v + 5 && i < pictures.packets.size(); ++i)
            video.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{pictures.packets[i], videoOffset + i * kFrame}));
        Mpeg::MediaPacketList sound;
        for (; a < audio.packets.size() && AudioTime(audio, a) < end; ++a)
            if (AudioTime(audio, a) >= v * kFrame && keep(AudioTime(audio, a)))
                sound.push_back(std::make_unique<Mpeg::MediaPacket>(
                    Mpeg::MediaPacket{audio.packets[a], videoOffset + AudioTime(audio, a)}));
        facade.AddPacketsAudioVideo(std::move(video), std::move(sound));
    }
}

struct Tracks
{
    TestMedia::ReadFile file;
    std::vector<TestMedia::ReadPacket> video, audio;
};

Tracks ReadTracks(const fs::path& path)
{
    Tracks tracks{TestMedia::Read(path), {}, {}};
    // A track without samples is not listed, so streams go by codec.
    for (const auto& packet : tracks.file.packets)
        (tracks.file.streams[packet.streamIndex].codecId == Video().codecId ? tracks.video : tracks.audio)
            .push_back(packet);
    return tracks;
}

std::vector<std::int64_t> Pts(const std::vector<TestMedia::ReadPacket>& packets)
{
    std::vector<std::int64_t> pts;
    for (const auto& packet : packets)
        pts.push_back(packet.pts);
    return pts;
}

std::vector<Bytes> Payloads(const std::vector<TestMedia::ReadPacket>& packets)
{
    std::vector<Bytes> payloads;
    for (const auto& packet : packets)
        payloads.push_back(packet.data);
    return payloads;
}

// The payloads of the ADTS packets from `first` that Feed hands over (those
// that start within the video), without their headers.
std::vector<Bytes> WithoutAdts(const EncodedStream& audio, std::size_t first = 0)
{
    std::vector<Bytes> payloads;
    for (std::size_t i = first; i < audio.packets.size() && AudioTime(audio, i) < Video().packets.size() * kFrame; ++i)
        payloads.emplace_back(audio.packets[i].begin() + kAdtsHeader, audio.packets[i].end());
    return payloads;
}

double Seconds(std::int64_t pts, AVRational timeBase)
{
    return static_cast<double>(pts) * av_q2d(timeBase);
}
} // namespace

// MP4 copies AAC (without its ADTS headers) and MP2 and turns G.711 and G.726
// into AAC; MOV copies G.711 and turns G.726 into Microsoft ADPCM. Either way
// both tracks cover the same time and the audio is still the tone that went in.
TEST(SynchronizedExport, AudioIsCopiedOrTranscodedAsTheContainerRequires)
{
    struct Case
    {
        const char* encoder;
        Audio codec;
        int rate;
        const char* extension;
        AVCodecID written;
        bool adts;
    };
    const Case cases[] = {
        {"pcm_mulaw", Audio::PcmMulaw, 8000, "mp4", AV_CODEC_ID_AAC, false},
        {"pcm_mulaw", Audio::PcmMulaw, 8000, "mov", AV_CODEC_ID_PCM_MULAW, false},
        {"pcm_alaw", Audio::PcmAlaw, 8000, "mov", AV_CODEC_ID_PCM_ALAW, false},
        {"g726le", Audio::G726le, 8000, "mp4", AV_CODEC_ID_AAC, false},
        {"g726", Audio::G726, 8000, "mov", AV_CODEC_ID_ADPCM_MS, false},
        {"mp2", Audio::Mp2, 16000, "mp4", AV_CODEC_ID_MP2, false},
        {"aac", Audio::Aac, 16000, "mp4", AV_CODEC_ID_AAC, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.encoder) + " into ." + c.extension);
        const EncodedStream audio = TestMedia::EncodeTone(c.encoder, c.rate, 4, 440, c.adts);
        TestMedia::TempDir dir;
        const fs::path path = dir / (std::string("out.") + c.extension);
        auto facade = Open(path, c.codec, audio);
        Feed(*facade, audio);
        const std::int64_t size = facade->FinishMediaFile();
        EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));

        const Tracks tracks = ReadTracks(path);
        ASSERT_EQ(tracks.file.streams.size(), 2u);
        EXPECT_EQ(tracks.file.streams[0].codecId, Video().codecId);
        // Copied; the MP4 reader of FFmpeg 5.1 and 7.1 names every MPEG audio
        // layer MP3, 9.0's tells MP2 apart.
        const AVCodecID read = tracks.file.streams[1].codecId;
        EXPECT_EQ(read == AV_CODEC_ID_MP3 && c.written == AV_CODEC_ID_MP2 ? c.written : read, c.written);
        ASSERT_EQ(tracks.video.size(), Video().packets.size());
        ASSERT_FALSE(tracks.audio.empty());
        const double videoEnd = Seconds(tracks.video.back().pts, tracks.file.streams[0].timeBase);
        // The last audio packet starts within one of its frames of the last
        // picture.
        const AVRational audioBase = tracks.file.streams[1].timeBase;
        const double audioEnd = Seconds(tracks.audio.back().pts, audioBase);
        const double audioFrame = audioEnd - Seconds(tracks.audio[tracks.audio.size() - 2].pts, audioBase);
        EXPECT_NEAR(audioEnd, videoEnd, std::max(0.1, 1.5 * audioFrame));

        const std::vector<float> decoded =
            TestMedia::DecodeAudio(c.written, tracks.file.streams[1].timeBase.den, Payloads(tracks.audio),
                                   tracks.file.streams[1].extradata);
        ASSERT_GT(decoded.size(), 8000u);
        const int rate = tracks.file.streams[1].timeBase.den;
        EXPECT_NEAR(TestMedia::ToneFrequency(decoded, rate, rate / 2, decoded.size() - rate / 2), 440, 5);

        if (c.adts)
        {
            EXPECT_TRUE(Payloads(tracks.audio) == WithoutAdts(audio));
        }
        if (c.written == AV_CODEC_ID_AAC)
        {
            // One AAC frame after the other: encoded ones timed by the samples
            // that went in, copied ones by the host clock (the first at tick 1).
            for (std::size_t i = 1; i < tracks.audio.size(); ++i)
                EXPECT_EQ(tracks.audio[i].pts - tracks.audio[i - 1].pts, c.adts && i == 1 ? 1023 : 1024) << i;
        }
    }
}

// What a viewer sees and hears: pictures that flash white and a 1 kHz beep in
// the first 0.2 s of every second, exported on every audio path and played
// back with the file's edit lists. Transcoded audio plays where the same
// source copied into MOV plays (that reference is 40 ms early: the first
// picture is one tick late by design), every path stays within what viewers
// accept (45 ms early), and no audio is lost at the end.
TEST(SynchronizedExport, AudioPlaysInSyncWithTheVideoOnEveryPath)
{
    static const EncodedStream pictures = TestMedia::EncodeVideo("mpeg4", 160, 120, 150, 25, 25, true, 0, false, true);
    struct Case
    {
        const char* encoder;
        Audio codec;
        int rate;
        const char* extension;
        bool transcoded;
        int frame; // samples of one packet as written
    };
    const Case cases[] = {
        {"pcm_mulaw", Audio::PcmMulaw, 8000, "mov", false, 160}, // the reference: first
        {"pcm_mulaw", Audio::PcmMulaw, 8000, "mp4", true, 1024},
        {"pcm_alaw", Audio::PcmAlaw, 8000, "mov", false, 160},
        {"pcm_alaw", Audio::PcmAlaw, 8000, "mp4", true, 1024},
        {"pcm_s16be", Audio::PcmS16be, 8000, "mov", false, 160},
        {"pcm_s16be", Audio::PcmS16be, 8000, "mp4", true, 1024},
        {"g726", Audio::G726, 8000, "mov", true, 2036},
        {"g726", Audio::G726, 8000, "mp4", true, 1024},
        {"aac", Audio::Aac, 16000, "mp4", false, 1024},
        {"aac", Audio::Aac, 16000, "mov", false, 1024},
        {"mp2", Audio::Mp2, 16000, "mp4", false, 1152},
        {"mp2", Audio::Mp2, 16000, "mov", false, 1152},
    };
    double reference = 0;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.encoder) + " into ." + c.extension);
        const bool adts = c.codec == Audio::Aac;
        const EncodedStream audio = TestMedia::EncodeTone(c.encoder, c.rate, 6, 1000, adts, true);
        TestMedia::TempDir dir;
        const fs::path path = dir / (std::string("sync.") + c.extension);
        auto facade = Mpeg::IFfMpegFacade::Create(true);
        facade->StartInitMediaFile(TestMedia::Wide(path));
        facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, pictures, 25));
        facade->InitStreamAudio(AudioRecord(c.codec, c.rate, audio.packets.front()));
        facade->FinishInitMediaFile();
        Feed(*facade, audio, [](std::uint64_t) { return true; }, 0, 0, SIZE_MAX, pictures);
        facade->FinishMediaFile();

        const TestMedia::Sync sync = TestMedia::MeasureSync(path);
        std::size_t handed = 0; // the packets Feed hands over: those within the video
        while (handed < audio.packets.size() && AudioTime(audio, handed) < pictures.packets.size() * kFrame)
            ++handed;
        const double input = static_cast<double>(handed * static_cast<std::size_t>(audio.frameSize)) / c.rate;
        std::cout << "[ figures  ] " << c.encoder << " into ." << c.extension << ": offset " << sync.offset * 1000
                  << " ms, audio " << sync.audioSeconds << " s of " << input << " s\n";
        EXPECT_EQ(sync.pairs, 6);
        EXPECT_LE(std::abs(sync.offset), 0.045);
        if (&c == cases)
            reference = sync.offset;
        if (c.transcoded)
        {
            EXPECT_NEAR(sync.offset, reference, 0.005);
        }
        EXPECT_NEAR(sync.audioSeconds, input, static_cast<double>(c.frame) / c.rate);
    }
}

// Audio that starts a second after the video: the writer puts copies of the
// silence packet in whole AAC frames from the first picture (tick 320 at
// 1/8000) up to the last slot that ends before the transcoder's first packet,
// the encoder's priming 1024 ticks before the first real audio.
TEST(SynchronizedExport, AudioStartingLateIsPrecededBySilence)
{
    TestMedia::TempDir dir;
    const fs::path path = dir / "late.mp4";
    auto facade = Open(path, Audio::PcmMulaw, Mulaw());
    Feed(*facade, Mulaw(), [](std::uint64_t t) { return t >= kSecond; });
    facade->FinishMediaFile();

    const Tracks tracks = ReadTracks(path);
    ASSERT_EQ(tracks.file.streams.size(), 2u);
    ASSERT_EQ(av_cmp_q(tracks.file.streams[1].timeBase, AVRational{1, 8000}), 0);
    ASSERT_GT(tracks.audio.size(), 8u);
    const std::vector<std::int64_t> pts = Pts(tracks.audio);
    EXPECT_EQ(std::vector<std::int64_t>(pts.begin(), pts.begin() + 8),
              (std::vector<std::int64_t>{320, 1344, 2368, 3392, 4416, 5440, 6976, 8000}));
    for (std::size_t i = 1; i < 6; ++i)
        EXPECT_EQ(tracks.audio[i].data, tracks.audio[0].data) << "filler " << i;
    for (std::size_t i = 8; i < pts.size(); ++i)
        EXPECT_EQ(pts[i] - pts[i - 1], 1024) << "the real audio runs on without gaps";
}

// A host whose audio lags behind: video is held back while the audio lists
// are empty, and written together with the audio once it arrives, so the
// late audio is not mistaken for a gap and nothing is filled or lost.
TEST(SynchronizedExport, VideoWaitsForAudioThatArrivesLate)
{
    TestMedia::TempDir dir;
    const fs::path path = dir / "lagging.mp4";
    auto facade = Open(path, Audio::Aac, Adts());
    std::size_t a = 0;
    for (std::size_t v = 0; v < Video().packets.size(); v += 5)
    {
        Mpeg::MediaPacketList video = TestMedia::ToHostPackets(Video(), 0, kFrame, v, 5);
        Mpeg::MediaPacketList sound;
        // Nothing for the first second, then everything up to now at once.
        const std::uint64_t now = (v + 5) * kFrame;
        for (; now > kSecond && a < Adts().packets.size() && AudioTime(Adts(), a) < now; ++a)
            sound.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{Adts().packets[a], AudioTime(Adts(), a)}));
        facade->AddPacketsAudioVideo(std::move(video), std::move(sound));
    }
    facade->FinishMediaFile();

    const Tracks tracks = ReadTracks(path);
    EXPECT_EQ(tracks.video.size(), Video().packets.size());
    std::vector<Bytes> expected = WithoutAdts(Adts());
    expected.resize(a);
    EXPECT_TRUE(Payloads(tracks.audio) == expected) << tracks.audio.size() << " audio packets for " << a;
}

// With no audio at all the file still gets its audio track: silence across
// the video, in whole steps from the first picture.
TEST(SynchronizedExport, AudioThatNeverComesBecomesSilenceAcrossTheVideo)
{
    TestMedia::TempDir dir;
    const fs::path path = dir / "mute.mp4";
    auto facade = Open(path, Audio::Aac, Adts());
    Feed(*facade, Adts(), [](std::uint64_t) { return false; });
    facade->FinishMediaFile();

    const Tracks tracks = ReadTracks(path);
    EXPECT_EQ(tracks.video.size(), Video().packets.size());
    // First picture at 1/25 s = tick 640 at 1/16000, last at 100/25 s = 64000.
    std::vector<std::int64_t> expected;
    for (std::int64_t t = 640; t + 1024 < 64000; t += 1024)
        expected.push_back(t);
    EXPECT_EQ(Pts(tracks.audio), expected);
    for (const auto& packet : tracks.audio)
        EXPECT_EQ(packet.data, tracks.audio.front().data);
}

// Video that never yields a packet (all of it before the start) leaves the
// audio held back until the end, where it is written on its own.
TEST(SynchronizedExport, AudioWithoutVideoIsWrittenAtTheEnd)
{
    TestMedia::TempDir dir;
    const fs::path path = dir / "blind.mp4";
    auto facade = Open(path, Audio::Aac, Adts(), 10 * kSecond);
    std::size_t a = 0;
    for (std::size_t v = 0; v < Video().packets.size(); v += 5)
    {
        Mpeg::MediaPacketList sound;
        for (; a < Adts().packets.size() && AudioTime(Adts(), a) < (v + 5) * kFrame; ++a)
            sound.push_back(std::make_unique<Mpeg::MediaPacket>(
                Mpeg::MediaPacket{Adts().packets[a], 10 * kSecond + AudioTime(Adts(), a)}));
        facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), 0, kFrame, v, 5), std::move(sound));
    }
    EXPECT_GT(facade->FinishMediaFile(), 0);

    const Tracks tracks = ReadTracks(path);
    EXPECT_TRUE(tracks.video.empty());
    EXPECT_TRUE(Payloads(tracks.audio) == WithoutAdts(Adts())) << tracks.audio.size() << " audio packets";
}

// Splitting finishes the first file and starts the next with both streams;
// the next audio record is made from the first packet given, so ADTS framing
// is recognised (and stripped) again.
TEST(SynchronizedExport, SplitGivesTwoCompleteFiles)
{
    TestMedia::TempDir dir;
    const fs::path first = dir / "part1.mp4", second = dir / "part2.mp4";
    auto facade = Open(first, Audio::Aac, Adts());
    Feed(*facade, Adts(), [](std::uint64_t) { return true; }, 0, 0, 50);
    std::size_t firstAudio = 0;
    while (AudioTime(Adts(), firstAudio) < 50 * kFrame)
        ++firstAudio;
    const Mpeg::MediaPacket splitAt{Adts().packets[firstAudio], AudioTime(Adts(), firstAudio)};
    const std::int64_t size = facade->SplitMediaFileAudioVideo(TestMedia::Wide(second), 50 * kFrame, splitAt);
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(first)));
    Feed(*facade, Adts(), [](std::uint64_t) { return true; }, 0, 50);
    facade->FinishMediaFile();

    const Tracks one = ReadTracks(first), two = ReadTracks(second);
    ASSERT_EQ(one.file.streams.size(), 2u);
    ASSERT_EQ(two.file.streams.size(), 2u);
    EXPECT_EQ(one.video.size() + two.video.size(), Video().packets.size());
    EXPECT_EQ(two.file.streams[1].codecId, AV_CODEC_ID_AAC);
    EXPECT_TRUE(Payloads(two.audio) == WithoutAdts(Adts(), firstAudio)) << two.audio.size() << " audio packets";
    // The second file's audio is timed from its own video start: 48 ms later.
    EXPECT_EQ(two.audio.front().pts, 768);
}

TEST(SynchronizedMisuse, CallsOutOfOrderAreRefusedWithTheirReason)
{
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    auto audio = [] { return AudioRecord(Audio::PcmMulaw, 8000, Mulaw().packets.front()); };
    const std::string prefix = "FfMpegFacadeException: FfMpegFacade: ";
    EXPECT_EQ(Thrown([&] { facade->InitStreamAudio(audio()); }),
              prefix + "FfMpegFacadeSynchronized::InitStreamAudio: m_inputFormatContext, m_outputFormatContext and "
                       "m_streamProcessorVideo must be initialized first");
    facade->StartInitMediaFile(TestMedia::Wide(dir / "order.mov"));
    EXPECT_EQ(Thrown([&] { facade->InitStreamAudio(audio()); }),
              prefix + "FfMpegFacadeSynchronized::InitStreamAudio: m_inputFormatContext, m_outputFormatContext and "
                       "m_streamProcessorVideo must be initialized first");
    facade->InitStreamVideo(TestMedia::VideoRecord(VideoCodec(), Video()));
    EXPECT_EQ(Thrown([&] { facade->FinishInitMediaFile(); }),
              prefix + "FfMpegFacadeSynchronized::FinishInitMediaFile: m_streamProcessorAudio must be initialized first");
    facade->InitStreamAudio(audio());
    EXPECT_EQ(Thrown([&] { facade->InitStreamAudio(audio()); }),
              prefix + "FfMpegFacadeSynchronized::InitStreamAudio: m_streamProcessorAudio already initialized");
    EXPECT_EQ(Thrown([&] { facade->AddPacketsAudioVideo({}, {}); }),
              prefix + "FfMpegFacadeSynchronized::AddPacketsAudioVideo: the file must be opened with "
                       "FinishInitMediaFile first");
    facade->FinishInitMediaFile();
    EXPECT_EQ(Thrown([&] { facade->AddPacketsVideo(TestMedia::ToHostPackets(Video(), 0, kFrame, 0, 5)); }),
              prefix + "FfMpegFacadeSynchronized::AddPacketsVideo: the audio/video facade takes packets through "
                       "AddPacketsAudioVideo");
    EXPECT_EQ(Thrown([&] { facade->SplitMediaFileVideo(TestMedia::Wide(dir / "next.mov"), 0); }),
              prefix + "FfMpegFacadeSynchronized::SplitMediaFileVideo: the audio/video facade splits through "
                       "SplitMediaFileAudioVideo");
    // The file is still good.
    Feed(*facade, Mulaw());
    facade->FinishMediaFile();
    const Tracks tracks = ReadTracks(dir / "order.mov");
    EXPECT_EQ(tracks.video.size(), Video().packets.size());
    EXPECT_EQ(tracks.file.streams[1].codecId, AV_CODEC_ID_PCM_MULAW);
}

// Audio the decoder rejects fails the worker; the next waiting call reports
// it once, and the file still finishes with the video written before.
TEST(SynchronizedExport, AudioDecodeFailureReachesTheHostOnceAndTheFileStillFinishes)
{
    TestMedia::TempDir dir;
    const fs::path path = dir / "garbage.mp4";
    // 16-bit PCM is transcoded into MP4; a packet of one byte is no sample.
    const EncodedStream pcm = TestMedia::EncodeTone("pcm_s16be", 8000, 4, 440);
    auto facade = Open(path, Audio::PcmS16be, pcm);
    Feed(*facade, pcm, [](std::uint64_t) { return true; }, 0, 0, 25);
    facade->EstimateFileSize(0, 1);
    Mpeg::MediaPacketList garbage;
    garbage.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{Bytes{0x55}, kSecond + kFrame}));
    facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), 0, kFrame, 25, 5), std::move(garbage));

    int reported = 0;
    auto count = [&](const std::function<void()>& call) {
        const std::string text = Thrown(call);
        if (text == "nothing")
            return;
        ++reported;
        EXPECT_EQ(text, "AvException 1094995529: FfMpegFacade: ::avcodec_send_packet: " +
                            TestMedia::StrError(AVERROR_INVALIDDATA));
    };
    count([&] { facade->AddPacketsAudioVideo(TestMedia::ToHostPackets(Video(), 0, kFrame, 30, 5), {}); });
    std::int64_t size = 0;
    count([&] { size = facade->FinishMediaFile(); });
    if (size == 0)
        count([&] { size = facade->FinishMediaFile(); });
    EXPECT_EQ(reported, 1);
    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));
    const Tracks tracks = ReadTracks(path);
    EXPECT_EQ(tracks.file.streams.size(), 2u);
    EXPECT_EQ(tracks.video.size(), 25u);
}
