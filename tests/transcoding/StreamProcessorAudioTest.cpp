#include "transcoding/StreamProcessorAudio.h"

#include "container/FormatContext.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
}

using Audio = Mpeg::CodecIdAudio;
using TestMedia::Bytes;

namespace
{
constexpr std::uint64_t kVideoStart = 130'000'000'000'000'000; // host clock, 100-ns units
constexpr std::uint64_t kSecond = 10'000'000;

Bytes BytesOf(const Mpeg::OwnedPacket& packet)
{
    return Bytes(packet.packet.data, packet.packet.data + packet.packet.size);
}

Bytes Extradata(const AVCodecParameters& codec)
{
    return Bytes(codec.extradata, codec.extradata + codec.extradata_size);
}

class AudioProcessor : public ::testing::Test
{
protected:
    // A built processor for a mono stream of index 1 (after the video) going
    // into a new file of the container; the filter is set up for ADTS input.
    Mpeg::StreamProcessorAudio& Make(Audio codec, int rate, const std::string& container, Bytes header = {},
                                     std::int32_t offset = 0)
    {
        auto record = std::make_unique<Mpeg::StreamParametersAudio>();
        record->timeScale = rate;
        record->codecId = codec;
        record->firstPacketHeader = std::move(header);
        auto input = std::make_unique<Mpeg::StreamAudio>(1, m_input, *record);
        const bool adts = input->HasAdtsHeaders();
        m_outputs.push_back(std::make_unique<Mpeg::FormatContextOutput>(
            TestMedia::Wide(m_dir / ("out" + std::to_string(m_outputs.size()) + "." + container))));
        m_processors.push_back(std::make_unique<Mpeg::StreamProcessorAudio>(offset, rate, std::move(input),
                                                                            kVideoStart, adts, std::move(record)));
        Mpeg::StreamProcessorAudio& processor = *m_processors.back();
        if (adts)
            processor.InitBitstreamFilter();
        processor.Build(*m_outputs.back());
        return processor;
    }

    bool GlobalHeader() const
    {
        return (m_outputs.back()->GetAvFormatContext()->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    }

    TestMedia::TempDir m_dir;
    Mpeg::FormatContextInput m_input;
    std::vector<std::unique_ptr<Mpeg::FormatContextOutput>> m_outputs;
    std::vector<std::unique_ptr<Mpeg::StreamProcessorAudio>> m_processors;
};
} // namespace

// Copied mu-law, so each record comes out as one packet timed in samples
// since the video started.
TEST_F(AudioProcessor, TimesRecordsAgainstTheVideoStart)
{
    constexpr std::int64_t kDrop = -1;
    struct Case
    {
        const char* name;
        int rate;
        std::int32_t offset;
        std::vector<std::uint64_t> after; // record time minus the video start; UINT64_MAX: just before it
        std::vector<std::int64_t> pts;
    };
    constexpr std::uint64_t kBefore = UINT64_MAX;
    const Case cases[] = {
        {"one second", 8000, 0, {kSecond}, {8000}},
        {"at the video start: the first pts is positive", 8000, 0, {0, 625}, {1, 2}},
        {"half a tick rounds up", 8000, 0, {1875}, {2}},
        {"just under half a tick rounds down", 8000, 0, {1874}, {1}},
        {"records before the video start leave no trace", 8000, 0, {kBefore, kSecond, kBefore, kSecond},
         {kDrop, 8000, kDrop, 8001}},
        {"equal timestamps", 8000, 0, {kSecond, kSecond, kSecond}, {8000, 8001, 8002}},
        {"a step back", 8000, 0, {kSecond, kSecond / 2, kSecond + 10}, {8000, 8001, 8002}},
        {"offset added", 8000, 100, {0, kSecond}, {100, 8100}},
        {"negative offset", 8000, -50, {0, kSecond}, {1, 7950}},
        {"ten hours at 96 kHz", 96000, 0, {36000 * kSecond}, {3'456'000'000}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Mpeg::StreamProcessorAudio& processor = Make(Audio::PcmMulaw, c.rate, "mov", {}, c.offset);
        ASSERT_EQ(processor.m_transcoder, nullptr);
        for (std::size_t i = 0; i < c.after.size(); ++i)
        {
            const Bytes data = {static_cast<std::uint8_t>(i), 0x7F, 0x80};
            const std::uint64_t at = c.after[i] == kBefore ? kVideoStart - 1 : kVideoStart + c.after[i];
            const auto packets = processor.ProcessPacket(Mpeg::MediaPacket{data, at});
            if (c.pts[i] == kDrop)
            {
                EXPECT_TRUE(packets.empty()) << i;
                continue;
            }
            ASSERT_EQ(packets.size(), 1u) << i;
            EXPECT_EQ(BytesOf(*packets[0]), data) << i;
            EXPECT_EQ(packets[0]->packet.pts, c.pts[i]) << i;
            EXPECT_EQ(packets[0]->packet.dts, c.pts[i]) << i;
            EXPECT_EQ(packets[0]->packet.stream_index, 1) << i;
        }
    }
}

TEST_F(AudioProcessor, AdtsAacIsCopiedIntoMp4WithoutItsHeaders)
{
    const auto adts = TestMedia::EncodeTone("aac", 8000, 1, 440, true);
    Mpeg::StreamProcessorAudio& processor = Make(Audio::Aac, 8000, "mp4", adts.packets[0]);
    ASSERT_EQ(processor.m_transcoder, nullptr);
    // 1024 samples at 8 kHz last 128 ms.
    const auto packets = processor.Process(TestMedia::ToHostPackets(adts, kVideoStart, 1'280'000));
    ASSERT_EQ(packets.size(), adts.packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i)
    {
        EXPECT_EQ(BytesOf(*packets[i]), Bytes(adts.packets[i].begin() + 7, adts.packets[i].end())) << i;
        EXPECT_EQ(packets[i]->packet.pts, i == 0 ? 1 : 1024 * static_cast<std::int64_t>(i)) << i;
        EXPECT_EQ(packets[i]->packet.stream_index, 1) << i;
    }
}

// Two seconds of a 440 Hz tone, the first record one second after the video
// start, into MP4, which takes none of these codecs: AAC comes out, timed by
// the samples that went in less the encoder's 1024-sample delay, and sounds
// like what went in.
TEST_F(AudioProcessor, TranscodesWhatTheContainerCannotCarry)
{
    struct Case
    {
        Audio codec;
        const char* encoder;
        int rate;
        int outputRate; // the AAC encoder's first rate when it lacks the input's
    };
    const Case cases[] = {
        {Audio::PcmMulaw, "pcm_mulaw", 8000, 8000}, {Audio::PcmAlaw, "pcm_alaw", 16000, 16000},
        {Audio::PcmS16be, "pcm_s16be", 8000, 8000}, {Audio::PcmMulaw, "pcm_mulaw", 11000, 96000},
        {Audio::G726, "g726", 8000, 8000},          {Audio::G726le, "g726le", 8000, 8000},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.encoder) + " at " + std::to_string(c.rate));
        const auto tone = TestMedia::EncodeTone(c.encoder, c.rate, 2, 440);
        Mpeg::StreamProcessorAudio* processor = nullptr;
        const std::string thrown = TestMedia::Thrown([&] { processor = &Make(c.codec, c.rate, "mp4"); });
        ASSERT_EQ(thrown, "nothing");
        ASSERT_NE(processor->m_transcoder, nullptr);
        const AVCodecParameters& out = *processor->m_outputStream->GetCodecParameters();
        EXPECT_EQ(std::tuple(out.codec_id, out.sample_rate, out.format),
                  std::tuple(AV_CODEC_ID_AAC, c.outputRate, static_cast<int>(AV_SAMPLE_FMT_FLTP)));

        const std::uint64_t step = static_cast<std::uint64_t>(tone.frameSize) * kSecond / c.rate;
        auto packets = processor->Process(TestMedia::ToHostPackets(tone, kVideoStart + kSecond, step));
        for (auto& p : processor->m_transcoder->Flush())
            packets.push_back(std::move(p));
        ASSERT_GT(packets.size(), 10u);

        // Positions count input samples from the first record's pts; each
        // frame moves them by its length, rounded down and to nearest in turn.
        // Each packet carries its frame's time, after a priming packet 1024
        // samples (the encoder's delay) before the first; the flushed packets
        // at the end follow the encoder's own count.
        std::int64_t position = c.rate;
        std::vector<Bytes> bytes;
        for (std::size_t j = 0; j < packets.size(); ++j)
        {
            const std::int64_t framePts = av_rescale_rnd(position, c.outputRate, c.rate, AV_ROUND_NEAR_INF);
            if (j == 0)
                EXPECT_EQ(packets[j]->packet.pts, framePts - 1024);
            else if (j + 2 < packets.size())
                EXPECT_EQ(packets[j]->packet.pts, framePts) << j;
            else
                EXPECT_GT(packets[j]->packet.pts, packets[j - 1]->packet.pts) << j;
            if (j > 0)
                position +=
                    av_rescale_rnd(1024, c.rate, c.outputRate, j % 2 == 1 ? AV_ROUND_DOWN : AV_ROUND_NEAR_INF);
            EXPECT_EQ(packets[j]->packet.stream_index, 1) << j;
            bytes.push_back(BytesOf(*packets[j]));
        }
        EXPECT_EQ(out.initial_padding, 1024) << "the muxer writes the priming edit from it";
        const auto decoded = TestMedia::DecodeAudio(AV_CODEC_ID_AAC, c.outputRate, bytes, Extradata(out));
        const std::size_t from = decoded.size() / 4, to = decoded.size() * 3 / 4;
        EXPECT_GT(TestMedia::ToneToNoise(decoded, c.outputRate, 440, from, to), 20);
        EXPECT_NEAR(20 * std::log10(TestMedia::Rms(decoded, from, to) / (TestMedia::kToneAmplitude / std::sqrt(2.0))),
                    0, 1.5);
    }
}

// The silent packet fills gaps in the file, so it must decode to silence in
// the output codec; on the copy path making it also settles the output
// stream's codec parameters.
TEST_F(AudioProcessor, SilentPacketDecodesToSilenceInTheOutputCodec)
{
    struct Case
    {
        const char* name;
        Audio codec;
        const char* container;
        Bytes expected; // empty: any
        bool transcoded;
        int frameSize;
    };
    const Case cases[] = {
        {"ADTS AAC copied into MP4", Audio::Aac, "mp4", {}, false, 1024},
        {"mu-law copied into MOV", Audio::PcmMulaw, "mov", Bytes(160, 0xFF), false, 1},
        {"A-law copied into MOV", Audio::PcmAlaw, "mov", Bytes(160, 0xD5), false, 1},
        {"mu-law transcoded into MP4", Audio::PcmMulaw, "mp4", {}, true, 1024},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const Bytes header = c.codec == Audio::Aac ? TestMedia::AdtsHeader(8000, 100) : Bytes{};
        Mpeg::StreamProcessorAudio& processor = Make(c.codec, 8000, c.container, header);
        ASSERT_EQ(processor.m_transcoder != nullptr, c.transcoded);
        const auto packet = processor.CreateSilentPacket(GlobalHeader());
        ASSERT_NE(packet, nullptr);
        ASSERT_GT(packet->packet.size, 0);
        if (!c.expected.empty())
        {
            EXPECT_EQ(BytesOf(*packet), c.expected);
        }
        const AVCodecParameters& out = *processor.m_outputStream->GetCodecParameters();
        EXPECT_EQ(out.frame_size, c.frameSize);
        if (out.codec_id == AV_CODEC_ID_AAC)
        {
            EXPECT_FALSE(Extradata(out).empty()) << "MP4 keeps AAC's configuration out of band";
        }
        const auto decoded = TestMedia::DecodeAudio(out.codec_id, 8000, {BytesOf(*packet)}, Extradata(out));
        EXPECT_GE(decoded.size(), 1u);
        EXPECT_LT(TestMedia::Rms(decoded, 0, decoded.size()), 1e-3);
    }
}
