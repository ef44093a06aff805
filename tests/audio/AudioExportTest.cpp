// Audio through the audio/video facade, read back with libavformat.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <iterator>

using Audio = Mpeg::CodecIdAudio;
using TestMedia::Bytes;

namespace
{
constexpr std::uint64_t kSecond = 10'000'000; // host clock, 100-ns units

using TestMedia::AudioRecord;
using TestMedia::TimedAudio;

// Three seconds of pictures.
const TestMedia::EncodedStream& Video()
{
    static const auto video = TestMedia::EncodeVideo("mpeg4", 64, 48, 75, 25, 25);
    return video;
}

// The pictures with `audio`, a list a second as a host hands them over.
TestMedia::ReadFile Export(const std::filesystem::path& path, std::unique_ptr<Mpeg::StreamParametersAudio> record,
                           const std::vector<Mpeg::MediaPacket>& audio)
{
    TestMedia::ExportFile(path, TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, Video()), std::move(record), Video(),
                          75, 25, &audio);
    return TestMedia::Read(path);
}

std::shared_ptr<Mpeg::IFfMpegFacade> Open(const std::filesystem::path& path,
                                          std::unique_ptr<Mpeg::StreamParametersAudio> record)
{
    auto facade = Mpeg::IFfMpegFacade::Create(true);
    TestMedia::Open(*facade, path, TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mpeg4, Video()), std::move(record));
    return facade;
}

// The tone's frequency in the middle third of `samples`, from its rising zero
// crossings (each after a dip below -0.05, so that noise makes none).
double Frequency(const std::vector<float>& samples, int rate)
{
    std::vector<double> crossings;
    bool armed = false;
    for (std::size_t i = samples.size() / 3; i < samples.size() * 2 / 3; ++i)
        if (samples[i] < -0.05f)
            armed = true;
        else if (armed && samples[i - 1] < 0 && samples[i] >= 0)
            crossings.push_back(double(i - 1) + samples[i - 1] / double(samples[i - 1] - samples[i])), armed = false;
    return crossings.size() < 2 ? 0 : double(crossings.size() - 1) * rate / (crossings.back() - crossings.front());
}

std::vector<TestMedia::ReadPacket> AudioPackets(const TestMedia::ReadFile& file)
{
    std::vector<TestMedia::ReadPacket> packets;
    std::copy_if(file.packets.begin(), file.packets.end(), std::back_inserter(packets),
                 [](const TestMedia::ReadPacket& packet) { return packet.streamIndex == 1; });
    return packets;
}

} // namespace

// Copies keep every byte, in order; transcoded audio is one frame after the
// other; both begin with silence from the first picture, when the host's
// audio begins later, and end with the video.
namespace
{
// host codec, encoder, rate, container; what the file holds and at which rate
using AudioPath = std::tuple<Audio, const char*, int, const char*, AVCodecID, int>;
const AudioPath kAudioPaths[] = {
    {Audio::PcmMulaw, "pcm_mulaw", 8000, "mov", AV_CODEC_ID_PCM_MULAW, 8000},
    {Audio::PcmAlaw, "pcm_alaw", 8000, "mov", AV_CODEC_ID_PCM_ALAW, 8000},
    {Audio::PcmS16be, "pcm_s16be", 16000, "mov", AV_CODEC_ID_PCM_S16BE, 16000},
    {Audio::PcmMulaw, "pcm_mulaw", 8000, "mp4", AV_CODEC_ID_AAC, 8000},
    {Audio::PcmAlaw, "pcm_alaw", 16000, "mp4", AV_CODEC_ID_AAC, 16000},
    {Audio::PcmS16be, "pcm_s16be", 8000, "mp4", AV_CODEC_ID_AAC, 8000},
    {Audio::G726, "g726", 8000, "mp4", AV_CODEC_ID_AAC, 8000},
    {Audio::G726le, "g726le", 8000, "mp4", AV_CODEC_ID_AAC, 8000},
    {Audio::G726, "g726", 8000, "mov", AV_CODEC_ID_ADPCM_MS, 8000},
    // A rate the AAC encoder lacks: its first listed rate, resampled.
    {Audio::PcmMulaw, "pcm_mulaw", 10000, "mp4", AV_CODEC_ID_AAC, 96000},
    {Audio::Mp2, "mp2", 16000, "mp4", AV_CODEC_ID_MP3, 16000}, // MP4 names MPEG audio MP3
    {Audio::Aac, "aac", 16000, "mov", AV_CODEC_ID_AAC, 16000},
};

class AudioCodecs : public ::testing::TestWithParam<AudioPath>
{
};
} // namespace

TEST_P(AudioCodecs, EachCodecIsCopiedOrTranscodedAsTheContainerRequires)
{
    const auto& [codec, encoder, rate, container, written, writtenRate] = GetParam();
    TestMedia::TempDir dir;
    const auto tone = TestMedia::EncodeTone(encoder, rate, 2, 440, codec == Audio::Aac);
    const auto path = dir / (std::string("out.") + container);
    const auto file = Export(path, AudioRecord(codec, rate, tone.packets[0]), TimedAudio(tone, kSecond / 2));
    ASSERT_EQ(file.streams.size(), 2u);
    EXPECT_EQ(file.streams[1].codecId, written);
    const std::vector<TestMedia::ReadPacket> packets = AudioPackets(file);
    ASSERT_FALSE(packets.empty());
    if (written == AV_CODEC_ID_AAC && codec != Audio::Aac)
    {
        // The encoder's priming frame, then one frame after the other from the first picture.
        for (std::size_t j = 0; j < packets.size(); ++j)
            EXPECT_EQ(packets[j].pts, static_cast<std::int64_t>(j) * 1024 - 1024) << j;
    }
    else if (written != AV_CODEC_ID_ADPCM_MS)
    {
        Bytes all, bytes; // what the host sent without ADTS headers, and what the file holds
        for (const Bytes& packet : tone.packets)
            all.insert(all.end(), packet.begin() + (codec == Audio::Aac ? 7 : 0), packet.end());
        for (const auto& packet : packets)
            bytes.insert(bytes.end(), packet.data.begin(), packet.data.end());
        EXPECT_NE(std::search(bytes.begin(), bytes.end(), all.begin(), all.end()), bytes.end())
            << "the host's bytes, in order";
    }
    const auto decoded = TestMedia::DecodeSamples(path, 1);
    EXPECT_NEAR(Frequency(decoded, writtenRate), 440, 2);
    const TestMedia::SyncReport report = TestMedia::MeasureSync(path);
    // Copied frames are whole: the silence may start up to one frame late.
    const double frame = static_cast<double>(tone.frameSize) / rate;
    EXPECT_TRUE(report.audioStart >= 0 && report.audioStart < (codec == Audio::Aac || codec == Audio::Mp2 ? frame : 0.001))
        << "silence from the first picture: " << report.audioStart;
    EXPECT_NEAR(report.audioSeconds, 3, 2048.0 / writtenRate) << "as long as the video";
}

INSTANTIATE_TEST_SUITE_P(Paths, AudioCodecs, ::testing::ValuesIn(kAudioPaths), [](const auto& info) {
    const auto& path = info.param;
    return TestMedia::TestName(std::string(std::get<1>(path)) + "_" + std::to_string(std::get<2>(path)) + "_into_" +
                               std::get<3>(path));
});

// ADTS frames with and without a checksum, each followed by something that does not
// parse (which headers parse is the header reader's table): frames come out as
// encoded, the rest is dropped, the headers describe the stream.
TEST(AudioExport, AdtsHeadersAreStrippedAndWhatDoesNotParseIsDropped)
{
    const auto aac = TestMedia::EncodeTone("aac", 8000, 1, 440);
    auto with = [](Bytes bytes, std::size_t index, int value) { return bytes.at(index) = std::uint8_t(value), bytes; };
    Bytes good = TestMedia::AdtsHeader(8000, 3);
    good.insert(good.end(), {1, 2, 3});
    const Bytes bad[] = {
        {},                                        // empty
        Bytes(good.begin(), good.begin() + 5),     // shorter than a header
        TestMedia::AdtsHeader(8000, 0),            // a header without a frame
        with(good, 0, 0x7F),                       // no sync word
        aac.packets[1],                            // a frame without its header
    };
    std::vector<Mpeg::MediaPacket> sent;
    for (std::size_t i = 0; i < aac.packets.size(); ++i)
    {
        Bytes framed = TestMedia::AdtsHeader(8000, aac.packets[i].size(), i % 2 == 1);
        framed.insert(framed.end(), aac.packets[i].begin(), aac.packets[i].end());
        sent.push_back({framed, i * 1024 * kSecond / 8000});
        sent.push_back({bad[i % std::size(bad)], sent.back().timestamp + 1});
    }
    TestMedia::TempDir dir;
    auto expectFrames = [&](const TestMedia::ReadFile& file) {
        const auto packets = AudioPackets(file);
        ASSERT_GE(packets.size(), aac.packets.size());
        for (std::size_t i = 0; i < aac.packets.size(); ++i)
            EXPECT_EQ(packets[i].data, aac.packets[i]) << i;
    };
    const auto file = Export(dir / "out.mp4", AudioRecord(Audio::Aac, 8000, sent[0].data), sent);
    ASSERT_EQ(file.streams.size(), 2u);
    ASSERT_GE(file.streams[1].extradata.size(), 2u);
    EXPECT_EQ(Bytes(file.streams[1].extradata.begin(), file.streams[1].extradata.begin() + 2), Bytes({0x15, 0x88}))
        << "AAC LC, 8 kHz, mono";
    expectFrames(file);
    // A first header whose sync word is one bit short: raw AAC, copied whole.
    expectFrames(Export(dir / "raw.mp4", AudioRecord(Audio::Aac, 8000, {0xFF, 0xE1, 0x6C, 0x40, 0x1F, 0xFF, 0xFC}),
                        TimedAudio(aac)));
}

// ADTS frames of two raw data blocks each become samples of 2048 samples,
// timed as such: one after the other, the track as long as the blocks.
// (FFmpeg's decoder decodes the first block of such a sample only.)
TEST(AudioExport, AdtsFramesOfSeveralBlocksKeepTheirLength)
{
    const auto aac = TestMedia::EncodeTone("aac", 16000, 3, 440);
    std::vector<Mpeg::MediaPacket> sent;
    for (std::size_t i = 0; i + 1 < aac.packets.size(); i += 2)
    {
        Bytes frame = TestMedia::AdtsHeader(16000, aac.packets[i].size() + aac.packets[i + 1].size(), false, 1, 2);
        frame.insert(frame.end(), aac.packets[i].begin(), aac.packets[i].end());
        frame.insert(frame.end(), aac.packets[i + 1].begin(), aac.packets[i + 1].end());
        sent.push_back({frame, i * 1024 * kSecond / 16000});
    }
    TestMedia::TempDir dir;
    const auto file = Export(dir / "blocks.mp4", AudioRecord(Audio::Aac, 16000, sent[0].data), sent);
    const auto packets = AudioPackets(file);
    ASSERT_GE(packets.size(), sent.size());
    for (std::size_t j = 0; j < sent.size(); ++j)
    {
        EXPECT_EQ(packets[j].pts, static_cast<std::int64_t>(j) * 2048) << j;
        EXPECT_EQ(packets[j].data.size(), sent[j].data.size() - 7) << j;
    }
    // Silence to the video's end (3 s) goes on in the stream's own steps.
    EXPECT_NEAR(file.streams[1].durationSeconds, 3, 2048.0 / 16000);
}

// PCM is what the record says it is (stereo here); copied AAC and MP2 declare
// the rate and channels their frames carry, taken from the first frame's
// header over a record that says otherwise. (A packet cut short of a whole
// sample: BadMedia.)
TEST(AudioExport, TheFileDeclaresWhatTheStreamCarries)
{
    TestMedia::TempDir dir;
    auto record = AudioRecord(Audio::PcmMulaw, 8000);
    record->channels = 2;
    const auto stereo = TestMedia::EncodeTone("pcm_mulaw", 8000, 2, 440, false, false, 1, 2);
    EXPECT_EQ(Export(dir / "stereo.mov", std::move(record), TimedAudio(stereo)).streams.at(1).channels, 2);

    // codec, encoder, the stream's rate and channels; the record says mono at 8 kHz
    const std::tuple<Audio, const char*, int, int> streams[] = {
        {Audio::Aac, "aac", 48000, 2}, {Audio::Aac, "aac", 16000, 1}, {Audio::Mp2, "mp2", 48000, 2},
        {Audio::Mp2, "mp2", 22050, 1}};
    for (const auto& [codec, encoder, rate, channels] : streams)
        for (const char* container : {"mp4", "mov"})
        {
            SCOPED_TRACE(std::string(encoder) + " " + std::to_string(rate) + " Hz, " + std::to_string(channels) +
                         " channels into " + container);
            const auto tone = TestMedia::EncodeTone(encoder, rate, 1, 440, codec == Audio::Aac, false, 1, channels);
            const auto path = dir / (std::string("declared.") + container);
            const auto read = Export(path, AudioRecord(codec, 8000, tone.packets[0]), TimedAudio(tone, kSecond));
            ASSERT_EQ(read.streams.size(), 2u);
            const TestMedia::ReadStream& stream = read.streams[1];
            // The AudioSpecificConfig's channel configuration; MP4 sample entries always say 2.
            if (codec == Audio::Aac)
            {
                EXPECT_EQ(stream.extradata.size() >= 2 ? (stream.extradata[1] >> 3) & 0x0F : -1, channels);
            }
            if (std::string(container) == "mov")
            {
                EXPECT_EQ(stream.channels, channels);
            }
            EXPECT_EQ(stream.timeBase.den, rate);
            const auto decoded = TestMedia::DecodeSamples(path, 1);
            EXPECT_NEAR(decoded.size(), 3.0 * rate, 2048) << "three seconds of " << channels << " channels";
        }
}

// Audio resuming a day ahead of its video stays a gap (filling it would write
// a day of silence), as does a jump of the video's own clock by years; an
// hour the video covers is filled, every frame of it, quickly.
TEST(SynchronizedExport, ClockJumpsAreNotFilledWithSilence)
{
    constexpr std::uint64_t kHour = 3'600ull * kSecond, kFrame = kSecond / 25;
    const auto pcm = TestMedia::EncodeTone("pcm_s16be", 8000, 1, 440);
    const std::tuple<const char*, std::uint64_t, bool> cases[] = { // name, jump, the video jumps too
        {"copied.mov", 24 * kHour, false},
        {"transcoded.mp4", kHour, true},
        {"transcoded.mp4", 10 * 365 * 24 * kHour, true},
    };
    for (const auto& [name, jump, videoToo] : cases)
    {
        SCOPED_TRACE(std::string(name) + " after " + std::to_string(jump / kHour) + " h");
        TestMedia::TempDir dir;
        auto facade = Open(dir / name, AudioRecord(Audio::PcmS16be, 8000));
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

        const auto packets = AudioPackets(TestMedia::Read(dir / name));
        EXPECT_TRUE(jump == kHour ? packets.size() > 3600u * 8000 / 1024 : packets.size() < 100u) << packets.size();
        for (std::size_t i = 1; jump == kHour && i < packets.size(); ++i)
            ASSERT_EQ(packets[i].pts - packets[i - 1].pts, 1024) << i;
    }
}

// The next file is timed from the split, and its audio record comes from the
// first packet given, so ADTS framing is recognised (and stripped) again.
TEST(SynchronizedExport, SplitGivesTwoCompleteFiles)
{
    const auto aac = TestMedia::EncodeTone("aac", 16000, 3, 440, true);
    const auto timed = TimedAudio(aac);
    const auto before = [&](std::uint64_t time) {
        return static_cast<std::size_t>(
            std::count_if(timed.begin(), timed.end(), [&](const auto& packet) { return packet.timestamp < time; }));
    };
    TestMedia::TempDir dir;
    auto facade = Open(dir / "a.mp4", AudioRecord(Audio::Aac, 16000, aac.packets[0]));
    TestMedia::AddInLists(*facade, Video(), 0, 25, 5, &timed);
    const std::size_t split = before(kSecond);
    const std::int64_t size = facade->SplitMediaFileAudioVideo(TestMedia::Wide(dir / "b.mp4"), kSecond, timed[split]);
    EXPECT_EQ(size, static_cast<std::int64_t>(std::filesystem::file_size(dir / "a.mp4")));
    TestMedia::AddInLists(*facade, Video(), 25, 75, 5, &timed);
    facade->FinishMediaFile();

    for (const auto& [name, first, last, pictures] : {std::tuple("a.mp4", std::size_t{0}, split, 25),
                                                     std::tuple("b.mp4", split, before(3 * kSecond), 50)})
    {
        const auto file = TestMedia::Read(dir / name);
        const auto audio = AudioPackets(file);
        EXPECT_EQ(file.packets.size() - audio.size(), pictures) << name;
        ASSERT_EQ(audio.size(), last - first) << name;
        for (std::size_t i = 0; i < audio.size(); ++i)
            EXPECT_EQ(audio[i].data, Bytes(aac.packets[first + i].begin() + 7, aac.packets[first + i].end())) << i;
    }
    EXPECT_EQ(AudioPackets(TestMedia::Read(dir / "b.mp4")).at(0).pts, 384) << "24 ms after the new start";
}
