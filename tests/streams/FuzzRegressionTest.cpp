// Records the fuzzers (fuzz/) found to cost minutes and gigabytes, replayed
// as tests.

#include "container/FormatContext.h"
#include "streams/Stream.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace
{
Mpeg::StreamParametersAudio Record(Mpeg::CodecIdAudio codec, std::int32_t rate)
{
    Mpeg::StreamParametersAudio record;
    record.codecId = codec;
    record.timeScale = rate;
    return record;
}
} // namespace

// The audio time scale is the sample rate. Mu-law declared at 838 860 985 Hz
// into MP4 (transcoded to AAC at 96 kHz) made the resampler build a filter of
// about 1.5 GB and take 19 s; G.726 at 1 Hz made every 20 ms packet 160 s of
// audio at 96 kHz. Rates outside 1000 to 384000 are refused before the stream
// is added; rates that are not positive keep their own message.
TEST(FuzzRegression, AudioTimeScalesOutsideRealSampleRatesAreRefused)
{
    const std::string refused =
        "FfMpegFacadeException: FfMpegFacade: StreamAudio::StreamAudio: timeScale must be a sample rate from 1000 to "
        "384000";
    const std::string notPositive = "FfMpegFacadeException: FfMpegFacade: Stream::Stream: timeScale must be positive";
    const struct
    {
        Mpeg::CodecIdAudio codec;
        std::int32_t rate;
        std::string expected;
    } cases[] = {
        {Mpeg::CodecIdAudio::PcmMulaw, 838'860'985, refused},
        {Mpeg::CodecIdAudio::G726, 1, refused},
        {Mpeg::CodecIdAudio::PcmMulaw, 999, refused},
        {Mpeg::CodecIdAudio::PcmS16be, 384'001, refused},
        {Mpeg::CodecIdAudio::Mp2, INT_MAX, refused},
        {Mpeg::CodecIdAudio::PcmMulaw, 0, notPositive},
        {Mpeg::CodecIdAudio::PcmMulaw, 1000, "nothing"},
        {Mpeg::CodecIdAudio::PcmS16be, 384'000, "nothing"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.rate);
        Mpeg::FormatContextInput input;
        auto record = Record(c.codec, c.rate);
        EXPECT_EQ(TestMedia::Thrown([&] { Mpeg::StreamAudio stream(0, input, record); }), c.expected);
        EXPECT_EQ(input.GetAvFormatContext()->nb_streams, c.expected == "nothing" ? 1u : 0u);
    }
}
