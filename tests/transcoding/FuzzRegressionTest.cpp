// Call sequences the fuzzers (fuzz/) found to hang the audio chain, replayed
// as tests.

#include "container/FormatContext.h"
#include "streams/StreamProcessorVideo.h"
#include "support/TestMedia.h"
#include "transcoding/StreamProcessorAudio.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using TestMedia::Bytes;

namespace
{
constexpr std::uint64_t kVideoStart = 130'000'000'000'000'000; // host clock, 100-ns units
constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kPacket = 200'000; // 20 ms, 160 samples at 8 kHz

const TestMedia::EncodedStream& Alaw()
{
    static const TestMedia::EncodedStream tone = TestMedia::EncodeTone("pcm_alaw", 8000, 1, 440);
    return tone;
}

// An 8 kHz A-law stream going into MP4 (so into AAC at 8 kHz), built the way
// the audio/video facade builds it.
class Chain
{
public:
    Chain()
        : m_output(TestMedia::Wide(m_dir / "out.mp4"))
    {
        auto record = std::make_unique<Mpeg::StreamParametersAudio>();
        record->codecId = Mpeg::CodecIdAudio::PcmAlaw;
        record->timeScale = 8000;
        record->startTime = kVideoStart;
        auto input = std::make_unique<Mpeg::StreamAudio>(0, m_input, *record);
        m_processor = std::make_unique<Mpeg::StreamProcessorAudio>(kVideoStart, 0, 8000, std::move(input), kVideoStart,
                                                                   false, std::move(record));
        m_processor->Build(m_output);
    }

    Mpeg::StreamProcessorAudio& operator*() { return *m_processor; }
    Mpeg::StreamProcessorAudio* operator->() { return m_processor.get(); }

    // One packet of the tone at host time `at`.
    Mpeg::PacketSequence Send(std::size_t packet, std::uint64_t at)
    {
        return m_processor->ProcessPacket(Mpeg::MediaPacket{Alaw().packets[packet % Alaw().packets.size()], at});
    }

private:
    TestMedia::TempDir m_dir;
    Mpeg::FormatContextInput m_input;
    Mpeg::FormatContextOutput m_output;
    std::unique_ptr<Mpeg::StreamProcessorAudio> m_processor;
};
} // namespace

// Six packets, then one stamped 696 years later (a wrapped host clock): the
// chain set out to encode the 1.57 years of silence between them and never
// returned. A jump of more than ten minutes is a clock jump: no silence, and
// the audio that follows is timed from the jump on. Packets from before the
// video start, as the fuzzer sent next, still leave no trace.
TEST(FuzzRegression, AClockJumpOfYearsIsAGapNotYearsOfSilence)
{
    Chain chain;
    ASSERT_NE(chain->m_transcoder, nullptr);
    EXPECT_TRUE(chain->Process(TestMedia::ToHostPackets(Alaw(), kVideoStart, kPacket, 0, 6)).empty());
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
    // without a gap: 37 packets of 160 samples make five AAC frames, each
    // packet out carrying the time of the frame after it.
    ASSERT_EQ(packets.size(), 4u);
    for (std::size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(packets[i]->packet.pts, jumpTicks - 960 + 1024 * static_cast<std::int64_t>(i + 1)) << i;
}

// Where a hole stops being filled: ten minutes still become silence, one
// sample more is a clock jump.
TEST(FuzzRegression, HolesUpToTenMinutesAreFilledWithSilence)
{
    for (const std::int64_t hole : {600 * 8000, 600 * 8000 + 1})
    {
        SCOPED_TRACE(hole);
        Chain chain;
        // Hole in samples after the first packet; one sample is 1250 host ticks.
        chain.Send(0, kVideoStart + kSecond);
        const std::uint64_t after = kVideoStart + kSecond + kPacket + static_cast<std::uint64_t>(hole) * 1250;
        const Mpeg::PacketSequence packets = chain.Send(1, after);
        const std::int64_t filled = chain->m_transcoder->m_samplesIn;
        if (hole == 600 * 8000)
        {
            EXPECT_EQ(filled, 160 + hole + 160);
            EXPECT_GE(static_cast<std::int64_t>(packets.size()), hole / 1024 - 1);
        }
        else
        {
            EXPECT_EQ(filled, 160 + 160);
            EXPECT_LE(packets.size(), 1u);
        }
    }
}
