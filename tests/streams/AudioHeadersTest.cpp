// The facts a stream's first ADTS or MPEG audio header gives, from headers
// written field by field.

#include "streams/AudioHeaders.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <tuple>

namespace
{
using TestMedia::Adts;
using TestMedia::Bytes;

// An MPEG audio header: version 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5; layer 3 I, 2 II, 1 III; mode 3 mono.
Bytes Mpa(int version, int layer, int rateIndex, int mode, int bitRateIndex = 8)
{
    return {0xFF, std::uint8_t(0xE1 | version << 3 | layer << 1), std::uint8_t(bitRateIndex << 4 | rateIndex << 2),
            std::uint8_t(mode << 6)};
}

auto Facts(const std::optional<Mpeg::AudioHeader>& h)
{
    return h ? std::tuple(h->sampleRate, h->channels, h->samples, h->audioSpecificConfig)
             : std::tuple(-1, -1, -1, Bytes());
}
} // namespace

TEST(AudioHeaders, AdtsGivesRateChannelsSamplesAndTheAudioSpecificConfig)
{
    // header; rate, channels, samples, AudioSpecificConfig
    const std::tuple<const char*, Bytes, int, int, int, Bytes> cases[] = {
        {"LC, 48 kHz, stereo", Adts(1, 3, 2), 48000, 2, 1024, {0x11, 0x90}},
        {"LC, 44.1 kHz, stereo, with a checksum", Adts(1, 4, 2, 100, 1, 0xF0), 44100, 2, 1024, {0x12, 0x10}},
        {"LC, 8 kHz, mono, MPEG-2", Adts(1, 11, 1, 100, 1, 0xF9), 8000, 1, 1024, {0x15, 0x88}},
        {"Main, 96 kHz, 5.1", Adts(0, 0, 6), 96000, 6, 1024, {0x08, 0x30}},
        {"LC, 48 kHz, 7.1", Adts(1, 3, 7), 48000, 8, 1024, {0x11, 0xB8}},
        {"SSR, 22.05 kHz, stereo", Adts(2, 7, 2), 22050, 2, 1024, {0x1B, 0x90}},
        {"LC, 7350 Hz, channels in the payload", Adts(1, 12, 0), 7350, 0, 1024, {0x16, 0x00}},
        {"two raw data blocks", Adts(1, 8, 1, 8191, 2), 16000, 1, 2048, {0x14, 0x08}},
        {"four raw data blocks, shortest frame", Adts(1, 8, 1, 7, 4), 16000, 1, 4096, {0x14, 0x08}},
    };
    for (const auto& [what, header, rate, channels, samples, config] : cases)
        EXPECT_EQ(Facts(Mpeg::ReadAdtsHeader(header.data(), header.size())),
                  std::tuple(rate, channels, samples, config))
            << what;

    const Bytes good = Adts(1, 3, 2);
    const std::pair<const char*, Bytes> invalid[] = {
        {"no sync word", Bytes{0xFE, 0xF1, good[2], good[3], good[4], good[5], good[6]}},
        {"a layer other than 0", Bytes{0xFF, 0xF3, good[2], good[3], good[4], good[5], good[6]}},
        {"rate index 13", Adts(1, 13, 2)},
        {"rate index 15", Adts(1, 15, 2)},
        {"a frame shorter than its header", Adts(1, 3, 2, 6)},
        {"a frame shorter than its header with a checksum", Adts(1, 3, 2, 8, 1, 0xF0)},
        {"six bytes", Bytes(good.begin(), good.begin() + 6)},
        {"nothing", Bytes()},
    };
    for (const auto& [what, header] : invalid)
        EXPECT_FALSE(Mpeg::ReadAdtsHeader(header.data(), header.size())) << what;
}

TEST(AudioHeaders, MpegAudioGivesRateChannelsAndSamples)
{
    const std::tuple<const char*, Bytes, int, int, int> cases[] = { // header; rate, channels, samples
        {"MPEG-1 layer II, 48 kHz, stereo", Mpa(3, 2, 1, 0), 48000, 2, 1152},
        {"MPEG-1 layer II, 44.1 kHz, mono", Mpa(3, 2, 0, 3), 44100, 1, 1152},
        {"MPEG-1 layer I, 32 kHz, joint stereo", Mpa(3, 3, 2, 1), 32000, 2, 384},
        {"MPEG-1 layer III, 48 kHz, dual channel", Mpa(3, 1, 1, 2), 48000, 2, 1152},
        {"MPEG-2 layer II, 22.05 kHz, mono", Mpa(2, 2, 0, 3), 22050, 1, 1152},
        {"MPEG-2 layer I, 16 kHz", Mpa(2, 3, 2, 0), 16000, 2, 384},
        {"MPEG-2 layer III, 24 kHz", Mpa(2, 1, 1, 0), 24000, 2, 576},
        {"MPEG-2.5 layer III, 8 kHz, mono", Mpa(0, 1, 2, 3), 8000, 1, 576},
    };
    for (const auto& [what, header, rate, channels, samples] : cases)
        EXPECT_EQ(Facts(Mpeg::ReadMpegAudioHeader(header.data(), header.size())),
                  std::tuple(rate, channels, samples, Bytes()))
            << what;

    const std::pair<const char*, Bytes> invalid[] = {
        {"no sync word", Bytes{0xFF, 0xD5, 0x84, 0x00}}, {"the reserved version", Mpa(1, 2, 1, 0)},
        {"the reserved layer", Mpa(3, 0, 1, 0)},          {"bit rate index 15", Mpa(3, 2, 1, 0, 15)},
        {"rate index 3", Mpa(3, 2, 3, 0)},                {"three bytes", Bytes{0xFF, 0xFD, 0x84}},
    };
    for (const auto& [what, header] : invalid)
        EXPECT_FALSE(Mpeg::ReadMpegAudioHeader(header.data(), header.size())) << what;
}
