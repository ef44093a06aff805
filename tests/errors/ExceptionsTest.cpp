#include "errors/AvResult.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <type_traits>

using TestMedia::StrError;
using TestMedia::Thrown;

namespace
{
constexpr std::int32_t kEofTag = MKTAG('E', 'O', 'F', ' ');
constexpr std::int32_t kExitTag = MKTAG('E', 'X', 'I', 'T');
constexpr std::int32_t kUnknownTag = MKTAG('U', 'N', 'K', 'N');

// A finder that records the id it was asked for and finds nothing.
int g_lookedUpId = 0;
const AVCodec* FindNothing(enum AVCodecID id)
{
    g_lookedUpId = id;
    return nullptr;
}
} // namespace

// A host catches every library error by one of these bases.
static_assert(std::is_base_of_v<std::runtime_error, Mpeg::MpegExporterException>);
static_assert(std::is_base_of_v<Mpeg::MpegExporterException, Mpeg::FfMpegFacadeException>);
static_assert(std::is_base_of_v<Mpeg::FfMpegFacadeException, Mpeg::AvException>);

TEST(Exceptions, AvExceptionTextAndCode)
{
    // Message, FFmpeg code, the code the exception reports.
    const std::tuple<std::string, int, std::int32_t> cases[] = {
        {"::avio_open", AVERROR(ENOENT), 2},
        {"::x", AVERROR(ENOMEM), 12},
        {"::x", AVERROR_EOF, kEofTag},
        {"::x", AVERROR_UNKNOWN, kUnknownTag},
        // An allocation that yielded nothing is reported with a positive 12.
        {"::avformat_new_stream", Mpeg::kAllocationFailed, -12},
        // INT_MIN has no positive counterpart; it stays, without an overflow.
        {"::x", INT_MIN, INT_MIN},
        // Control characters stay in the message.
        {"Could not write data to FIFO\n", AVERROR_EXIT, kExitTag},
        {"::a " + std::string(7, '\t') + "b", AVERROR_UNKNOWN, kUnknownTag},
    };
    for (const auto& [message, code, reported] : cases)
    {
        const std::string text = "FfMpegFacade: " + message + ": " + StrError(code);
        const Mpeg::AvException fromText(message.c_str(), code);
        const Mpeg::AvException fromString(message, code);
        EXPECT_EQ(std::tuple(std::string(fromText.what()), fromText.GetErrorCode()), std::tuple(text, reported));
        EXPECT_EQ(std::tuple(std::string(fromString.what()), fromString.GetErrorCode()), std::tuple(text, reported));
    }
}

TEST(Exceptions, CheckAvResultThrowsOnlyForNegativeStatuses)
{
    for (const int status : {0, 1, INT_MAX})
        EXPECT_NO_THROW(Mpeg::CheckAvResult(status, "::avio_open")) << status;
    // The description appears once: the call name is not decorated further.
    EXPECT_EQ(Thrown([] { Mpeg::CheckAvResult(AVERROR(ENOENT), "::avio_open"); }),
              "AvException 2: FfMpegFacade: ::avio_open: " + StrError(AVERROR(ENOENT)));
    EXPECT_EQ(Thrown([] { Mpeg::CheckAvResult(-1, "::x"); }), "AvException 1: FfMpegFacade: ::x: " + StrError(-1));
}

TEST(Exceptions, FindCodec)
{
    const AVCodec* encoder = Mpeg::FindCodec(avcodec_find_encoder, AV_CODEC_ID_ADPCM_G726LE);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(encoder->id, AV_CODEC_ID_ADPCM_G726LE);
    EXPECT_TRUE(av_codec_is_encoder(encoder));
    EXPECT_TRUE(av_codec_is_decoder(Mpeg::FindCodec(avcodec_find_decoder, AV_CODEC_ID_MPEG4)));

    const std::pair<int, const char*> missing[] = {{AV_CODEC_ID_NONE, "0"}, {AV_CODEC_ID_AAC, "86018"}, {-5, "-5"}};
    for (const auto& [id, written] : missing)
    {
        auto finder = id == AV_CODEC_ID_NONE ? avcodec_find_encoder : FindNothing;
        EXPECT_EQ(Thrown([&, id = id] { Mpeg::FindCodec(finder, id); }),
                  "AvException " + std::to_string(kExitTag) + ": FfMpegFacade: Codec id '" + written +
                      "' not found.: " + StrError(AVERROR_EXIT));
        EXPECT_EQ(g_lookedUpId, finder == FindNothing ? id : g_lookedUpId);
    }
}
