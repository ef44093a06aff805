// Call sequences the fuzzers (fuzz/) found to hang the audio chain, replayed
// as tests.

#include "container/AvHandles.h"
#include "container/FormatContext.h"
#include "streams/StreamProcessorVideo.h"
#include "support/TestMedia.h"
#include "transcoding/StreamProcessorAudio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

using TestMedia::Bytes;

namespace
{
constexpr std::uint64_t kVideoStart = 130'000'000'000'000'000; // host clock, 100-ns units
constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kPacket = 200'000; // 20 ms, 160 samples at 8 kHz

const TestMedia::EncodedStream& Tone(const char* encoder)
{
    static const TestMedia::EncodedStream alaw = TestMedia::EncodeTone("pcm_alaw", 8000, 1, 440);
    static const TestMedia::EncodedStream mulaw = TestMedia::EncodeTone("pcm_mulaw", 8000, 1, 440);
    return std::string(encoder) == "pcm_alaw" ? alaw : mulaw;
}

// An 8 kHz G.711 stream going into MP4 (so into AAC at 8 kHz), built the way
// the audio/video facade builds it.
class Chain
{
public:
    explicit Chain(Mpeg::CodecIdAudio codec = Mpeg::CodecIdAudio::PcmAlaw, std::int32_t channels = 1,
                   std::int32_t offset = 0)
        : m_tone(Tone(codec == Mpeg::CodecIdAudio::PcmAlaw ? "pcm_alaw" : "pcm_mulaw")),
          m_output(TestMedia::Wide(m_dir / "out.mp4"))
    {
        auto record = std::make_unique<Mpeg::StreamParametersAudio>();
        record->codecId = codec;
        record->timeScale = 8000;
        record->channels = channels;
        record->startTime = kVideoStart;
        auto input = std::make_unique<Mpeg::StreamAudio>(0, m_input, *record);
        m_processor = std::make_unique<Mpeg::StreamProcessorAudio>(offset, 8000, std::move(input),
                                                                   kVideoStart, false, std::move(record));
        m_processor->Build(m_output);
        m_processor->CreateSilentPacket(true);
    }

    Mpeg::StreamProcessorAudio* operator->() { return m_processor.get(); }

    // Packet `packet` of the tone at host time `at`.
    Mpeg::PacketSequence Send(std::size_t packet, std::uint64_t at)
    {
        return m_processor->ProcessPacket(Mpeg::MediaPacket{Packet(packet), at});
    }

    const Bytes& Packet(std::size_t packet) const { return m_tone.packets[packet % m_tone.packets.size()]; }

private:
    const TestMedia::EncodedStream& m_tone;
    TestMedia::TempDir m_dir;
    Mpeg::FormatContextInput m_input;
    Mpeg::FormatContextOutput m_output;
    std::unique_ptr<Mpeg::StreamProcessorAudio> m_processor;
};
} // namespace

// Six packets, then one stamped 696 years later (a wrapped host clock): the
// chain set out to encode the 1.57 years of silence between them and never
// returned. A jump beyond the video processed so far is a clock jump: no
// silence, and the audio that follows is timed from the jump on. Packets from before the
// video start, as the fuzzer sent next, still leave no trace.
TEST(FuzzRegression, AClockJumpOfYearsIsAGapNotYearsOfSilence)
{
    Chain chain;
    ASSERT_NE(chain->m_transcoder, nullptr);
    EXPECT_TRUE(chain->Process(TestMedia::ToHostPackets(Tone("pcm_alaw"), kVideoStart, kPacket, 0, 6)).empty());
    constexpr std::uint64_t kJump = 0x04D9D9D9D9000100;
    const auto jumpTicks = static_cast<std::int64_t>(Mpeg::ElapsedTicks(kJump, kVideoStart, 8000));
    ASSERT_EQ(jumpTicks, 395'911'915'528) << "ticks wrap with the clock";

    Mpeg::PacketSequence packets = chain.Send(6, kJump);
    EXPECT_LE(packets.size(), 1u);
    for (int i = 0; i < 14; ++i)
        EXPECT_TRUE(chain.Send(7, 0).empty());
    for (std::size_t i = 1; i <= 30; ++i)
        for (auto& packet : chain.Send(6 + i, kJump + i * kPacket))
            packets.push_back(std::move(packet));

    // The 960 samples from before the jump now end at it and the rest follow
    // without a gap: 37 packets of 160 samples make five AAC frames, four of
    // them out of the encoder, each 1024 samples (its delay) before its frame.
    ASSERT_EQ(packets.size(), 4u);
    for (std::size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(packets[i]->packet.pts, jumpTicks - 960 - 1024 + 1024 * static_cast<std::int64_t>(i)) << i;
}

// Where a hole stops being filled: an hour that the video covers becomes
// silence, quickly and without an hour of samples in memory (the bulk repeats
// one steady silent packet), timed without a gap; a hole ending more than
// five seconds past the video is a clock jump.
TEST(FuzzRegression, HolesAreFilledAsFarAsTheVideoGoes)
{
    constexpr std::int64_t kHole = 3600 * 8000;
    for (const std::int64_t videoEnd : {8000 + kHole + 160, 8000 + kHole + 160 - 5 * 8000 - 1})
    {
        SCOPED_TRACE(videoEnd);
        Chain chain;
        chain->SetVideoExtent(0, videoEnd, {1, 8000});
        // Hole in samples after the first packet; one sample is 1250 host ticks.
        chain.Send(0, kVideoStart + kSecond);
        const std::uint64_t after = kVideoStart + kSecond + kPacket + static_cast<std::uint64_t>(kHole) * 1250;
        const auto started = std::chrono::steady_clock::now();
        Mpeg::PacketSequence packets = chain.Send(1, after);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        for (auto& packet : chain->m_transcoder->Flush())
            packets.push_back(std::move(packet));
        const std::int64_t filled = chain->m_transcoder->m_samplesIn;
        if (videoEnd == 8000 + kHole + 160)
        {
            std::cout << "[ figures  ] an hour of missing 8 kHz audio filled in " << seconds << " s\n";
            EXPECT_LT(seconds, 10) << "generous: it takes milliseconds";
            EXPECT_EQ(filled, 160 + kHole + 160);
            // Every frame in place: 1024 samples apart from the priming packet on.
            ASSERT_EQ(static_cast<std::int64_t>(packets.size()), (filled + 1023) / 1024 + 1);
            for (std::size_t i = 0; i < packets.size(); ++i)
                ASSERT_EQ(packets[i]->packet.pts, 8000 + 1024 * (static_cast<std::int64_t>(i) - 1)) << i;
            // The middle of the hole decodes to silence.
            std::vector<Bytes> middle;
            for (std::size_t i = packets.size() / 2; i < packets.size() / 2 + 20; ++i)
                middle.emplace_back(packets[i]->packet.data, packets[i]->packet.data + packets[i]->packet.size);
            const AVCodecParameters& out = *chain->m_outputStream->GetCodecParameters();
            const auto decoded = TestMedia::DecodeAudio(
                AV_CODEC_ID_AAC, 8000, middle, Bytes(out.extradata, out.extradata + out.extradata_size));
            EXPECT_LT(TestMedia::Rms(decoded, 0, decoded.size()), 1e-3);
        }
        else
        {
            EXPECT_EQ(filled, 160 + 160);
            EXPECT_LE(packets.size(), 3u);
        }
    }
}

// Mu-law declared with sixteen channels goes into MP4 as sixteen-channel AAC.
// Each 20 ms packet carries ten samples a channel, so silence fills the rest
// of every step. Once a frame was due, the FIFO was read through the frame's
// eight plane pointers and on into the fields after them, and wrote to
// address 0x1000. The fuzzer's call sequence: two empty batches, then one
// packet at a time, the first an ADTS header with 15 bytes behind it (not a
// whole number of sixteen-channel samples), then tone.
TEST(FuzzRegression, AudioOfMoreThanEightChannelsIsReadIntoEveryPlane)
{
    // FFmpeg 9.0's AAC encoder takes at most eight channels; there the chain
    // is refused with the encoder's error.
    const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
    Mpeg::AvCodecContextPtr probe(avcodec_alloc_context3(aac));
    probe->sample_rate = 8000;
    probe->sample_fmt = AV_SAMPLE_FMT_FLTP;
    probe->time_base = AVRational{1, 8000};
    av_channel_layout_default(&probe->ch_layout, 16);
    if (avcodec_open2(probe.get(), aac, nullptr) < 0)
    {
        EXPECT_EQ(TestMedia::Thrown([] { Chain(Mpeg::CodecIdAudio::PcmMulaw, 16, 63); }),
                  "AvException 22: FfMpegFacade: ::avcodec_open2: " + TestMedia::StrError(AVERROR(EINVAL)));
        return;
    }
    Chain chain(Mpeg::CodecIdAudio::PcmMulaw, 16, 63);
    EXPECT_TRUE(chain->Process({}).empty());
    EXPECT_TRUE(chain->Process({}).empty());

    const Bytes payload = {0x00, 0x00, 0x00, 0xFE, 0x10, 0x00, 0x00, 0x00, 0xF4, 0x3F, 0x00, 0xCC, 0xCC, 0xBA, 0x00};
    Bytes first = TestMedia::AdtsHeader(8000, payload.size());
    first.insert(first.end(), payload.begin(), payload.end());
    EXPECT_EQ(TestMedia::Thrown([&] { chain->ProcessPacket(Mpeg::MediaPacket{first, kVideoStart}); }),
              "AvException 1094995529: FfMpegFacade: ::avcodec_receive_frame: " +
                  TestMedia::StrError(AVERROR_INVALIDDATA));
    Mpeg::PacketSequence packets;
    for (std::size_t i = 1; i < 20; ++i)
        for (auto& packet : chain.Send(i, kVideoStart + i * kPacket))
            packets.push_back(std::move(packet));

    ASSERT_FALSE(packets.empty());
    const AVCodecParameters& out = *chain->m_outputStream->GetCodecParameters();
    EXPECT_EQ(out.codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(out.ch_layout.nb_channels, 16);
    for (const auto& packet : packets)
        EXPECT_GT(packet->packet.size, 0);
}
