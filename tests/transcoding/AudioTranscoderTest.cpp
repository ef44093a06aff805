#include "transcoding/AudioTranscoder.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>

using TestMedia::Bytes;

namespace
{
// Frames handed to an encoder so far; the field was renamed in libavcodec 60.
std::int64_t FramesSent(const AVCodecContext& context)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 2, 100)
    return context.frame_num;
#else
    return context.frame_number;
#endif
}

Mpeg::AvCodecParametersPtr Audio(AVCodecID id, AVSampleFormat format, int sampleRate)
{
    auto parameters = Mpeg::AllocateCodecParameters();
    parameters->codec_type = AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = id;
    parameters->format = format;
    parameters->sample_rate = sampleRate;
    av_channel_layout_default(&parameters->ch_layout, 1);
    return parameters;
}

// A mono chain from `input` into AAC at `outputRate`, as an MP4 file would
// have it (global header).
struct Chain
{
    Chain(AVCodecID input, AVSampleFormat format, int inputRate, int outputRate)
        : in(Audio(input, format, inputRate)), out(Audio(AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, outputRate)),
          transcoder({in.get(), 1, {1, inputRate}},
                     std::make_shared<Mpeg::StreamParameters>(Mpeg::StreamParameters{out.get(), 1, {1, outputRate}}),
                     true, true)
    {
    }

    // Transcodes `bytes` as one packet at `pts` and appends what comes out.
    void Send(const Bytes& bytes, std::int64_t pts)
    {
        auto packet = Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
        packet->packet.pts = packet->packet.dts = pts;
        for (auto& p : transcoder.Transcode(packet.get()))
            packets.push_back(std::move(p));
    }

    void Flush()
    {
        for (auto& p : transcoder.Flush())
            packets.push_back(std::move(p));
    }

    std::vector<float> Decoded() const
    {
        std::vector<Bytes> bytes;
        for (const auto& p : packets)
            bytes.emplace_back(p->packet.data, p->packet.data + p->packet.size);
        return TestMedia::DecodeAudio(AV_CODEC_ID_AAC, out->sample_rate, bytes,
                                      Bytes(out->extradata, out->extradata + out->extradata_size));
    }

    // Frames the encoder took, once flushed: its draining call counts as one.
    std::int64_t FramesEncoded() const { return FramesSent(*transcoder.m_transcoder.m_encoder->GetContext()) - 1; }

    Mpeg::AvCodecParametersPtr in;
    Mpeg::AvCodecParametersPtr out;
    Mpeg::AudioTranscoder transcoder;
    Mpeg::PacketSequence packets;
};

// The tone's samples as mu-law bytes, regrouped into packets of `samples`.
std::vector<Bytes> MulawTone(int sampleRate, double seconds, int samples)
{
    Bytes all;
    for (const Bytes& packet : TestMedia::EncodeTone("pcm_mulaw", sampleRate, seconds, 440).packets)
        all.insert(all.end(), packet.begin(), packet.end());
    std::vector<Bytes> packets;
    for (std::size_t at = 0; at + samples <= all.size(); at += samples)
        packets.emplace_back(all.begin() + at, all.begin() + at + samples);
    return packets;
}

double Decibels(double rms)
{
    return 20 * std::log10(rms / (TestMedia::kToneAmplitude / std::sqrt(2.0)));
}
} // namespace

// 8 kHz into a 48 kHz encoder: a 1024-sample frame lasts 170 2/3 input
// samples, so positions advance by 170 and 171 in turn. Every frame goes in
// with its time; AAC hands out a priming packet 1024 samples (its delay)
// before the first frame, then one packet a frame carrying that frame's time.
TEST(AudioTranscoder, PacketsAreTimedByTheSamplesThatWentIn)
{
    Chain chain(AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 8000, 48000);
    const auto tone = MulawTone(8000, 2, 160);
    constexpr std::int64_t kStart = 4000;
    for (std::size_t i = 0; i < tone.size(); ++i)
        chain.Send(tone[i], kStart + 160 * static_cast<std::int64_t>(i));
    chain.Flush();

    ASSERT_EQ(chain.out->sample_rate, 48000);
    ASSERT_EQ(chain.out->frame_size, 1024);
    EXPECT_EQ(static_cast<std::int64_t>(chain.packets.size()), chain.FramesEncoded() + 1);
    std::int64_t position = kStart;
    for (std::size_t j = 0; j < chain.packets.size(); ++j)
    {
        const std::int64_t pts = j == 0 ? position * 6 - 1024 : position * 6;
        if (j > 0)
            position += j % 2 == 1 ? 170 : 171;
        EXPECT_EQ(chain.packets[j]->packet.pts, pts) << j;
        EXPECT_EQ(chain.packets[j]->packet.dts, pts) << j;
        EXPECT_EQ(chain.packets[j]->packet.stream_index, 1) << j;
    }
    const auto decoded = chain.Decoded();
    ASSERT_GT(decoded.size(), 48000u);
    EXPECT_GT(TestMedia::ToneToNoise(decoded, 48000, 440, 6000, decoded.size() - 6000), 20);
    EXPECT_NEAR(Decibels(TestMedia::Rms(decoded, 6000, decoded.size() - 6000)), 0, 1.5);
}

// Half a second of tone, half a second missing, then a second of tone with
// one packet sent twice, the second time overlapping its predecessor: the
// hole becomes silence, the repeat is kept, and no sample is lost or added.
TEST(AudioTranscoder, HolesBecomeSilenceAndLatePacketsAreKept)
{
    Chain chain(AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 8000, 8000);
    const auto tone = MulawTone(8000, 1.5, 160);
    ASSERT_EQ(tone.size(), 75u);
    constexpr std::int64_t kStart = 1000, kHole = 4000;
    std::int64_t samples = 0;
    for (std::size_t i = 0; i < tone.size(); ++i)
    {
        const auto pts = kStart + 160 * static_cast<std::int64_t>(i) + (i < 25 ? 0 : kHole);
        chain.Send(tone[i], pts);
        if (i == 60)
            chain.Send(tone[i], pts - 80);
        samples += i == 60 ? 320 : 160;
    }
    chain.Flush();

    std::int64_t duration = 0;
    for (std::size_t j = 0; j < chain.packets.size(); ++j)
    {
        EXPECT_EQ(chain.packets[j]->packet.pts, kStart + 1024 * (static_cast<std::int64_t>(j) - 1)) << j;
        duration += chain.packets[j]->packet.duration;
    }
    EXPECT_EQ(duration, 1024 + samples + kHole) << "the priming packet and every sample";
    // The decoder hands out the encoder's 1024 priming samples first.
    const auto decoded = chain.Decoded();
    ASSERT_GT(decoded.size(), 14000u);
    EXPECT_GT(TestMedia::ToneToNoise(decoded, 8000, 440, 1024 + 500, 1024 + 3500), 20);
    EXPECT_LT(TestMedia::Rms(decoded, 1024 + 4500, 1024 + 7500), 0.01) << "the hole";
    EXPECT_GT(TestMedia::ToneToNoise(decoded, 8000, 440, 1024 + 8500, 1024 + 13000), 20);
}

// The samples short of a frame at the end go in as a short last frame and the
// encoder is drained: the packets last exactly the priming and the input.
TEST(AudioTranscoder, FlushEncodesEverySample)
{
    Chain chain(AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16, 8000, 8000);
    const auto tone = MulawTone(8000, 1, 150);
    for (std::int64_t i = 0; i < 10; ++i)
        chain.Send(tone[static_cast<std::size_t>(i)], 1 + 150 * i);
    EXPECT_TRUE(chain.packets.empty()) << "the first frame only fills the encoder's delay";
    chain.Flush();
    EXPECT_TRUE(chain.transcoder.Flush().empty()) << "once";
    EXPECT_EQ(chain.transcoder.m_fifo->Size(), 0);
    ASSERT_EQ(chain.packets.size(), 3u);
    const std::int64_t expected[][2] = {{1 - 1024, 1024}, {1, 1024}, {1025, 476}};
    for (std::size_t j = 0; j < 3; ++j)
        EXPECT_EQ(std::vector({chain.packets[j]->packet.pts, chain.packets[j]->packet.duration}),
                  std::vector(std::begin(expected[j]), std::end(expected[j])))
            << j;
}

// Bytes no encoder made: FFmpeg 5.1's decoders refuse them when they are
// sent, which must surface as an AvException and nothing worse (the sanitizer
// builds watch the rest).
TEST(AudioTranscoder, GarbageFailsCleanly)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::tuple<const char*, AVCodecID, AVSampleFormat, int, int> cases[] = {
        {"AAC at a rate the encoder lacks", AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP, 11000, 96000},
        {"MPEG audio layer 2", AV_CODEC_ID_MP2, AV_SAMPLE_FMT_S16, 16000, 16000},
    };
    for (const auto& [what, codec, format, inputRate, outputRate] : cases)
    {
        Chain chain(codec, format, inputRate, outputRate);
        const std::string thrown = TestMedia::Thrown([&, inputRate = inputRate] {
            for (std::int64_t i = 0; i < 20; ++i)
            {
                Bytes bytes(400);
                for (auto& b : bytes)
                    b = static_cast<std::uint8_t>(byte(random));
                chain.Send(bytes, 1 + i * inputRate / 10);
            }
            chain.Flush();
        });
        const std::string refused =
            "AvException " + std::to_string(-AVERROR_INVALIDDATA) + ": FfMpegFacade: ::avcodec_send_packet: ";
        EXPECT_EQ(thrown.rfind(refused, 0), 0u) << what << ": " << thrown;
    }
}
