#include "errors/AvResult.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <type_traits>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
// FFmpeg's own description of a code; its wording differs between builds, so
// the tests never spell it out.
std::string StrError(int code)
{
    char text[255] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

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

static_assert(std::is_base_of_v<std::runtime_error, Mpeg::MpegExporterException>);
static_assert(std::is_base_of_v<Mpeg::MpegExporterException, Mpeg::FfMpegFacadeException>);
static_assert(std::is_base_of_v<Mpeg::FfMpegFacadeException, Mpeg::AvException>);

TEST(Exceptions, FacadeExceptionComposesOneAndTwoTextForms)
{
    EXPECT_STREQ(Mpeg::MpegExporterException("plain").what(), "plain");
    EXPECT_STREQ(Mpeg::FfMpegFacadeException("Audio-related call to video-only adapter").what(),
                 "FfMpegFacade: Audio-related call to video-only adapter");
    EXPECT_STREQ(Mpeg::FfMpegFacadeException("FfMpegFacadeBase::InitStreamVideo",
                                             "m_streamProcessorVideo already initialized")
                     .what(),
                 "FfMpegFacade: FfMpegFacadeBase::InitStreamVideo: m_streamProcessorVideo already initialized");
}

TEST(Exceptions, AvExceptionTextAndCode)
{
    const std::string tabs = "::avformat_alloc_output_context2 did not set context pointer to the " + std::string(7, '\t') +
                             "created format context address despite returned succeeded return code";
    struct Case
    {
        std::string message;
        int code;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"::avio_open", AVERROR(ENOENT), 2},
        {"::x", AVERROR(ENOMEM), 12},
        {"::x", AVERROR_EOF, kEofTag},
        {"::x", AVERROR_UNKNOWN, kUnknownTag},
        // An allocation that yielded nothing is reported with a positive 12.
        {"::avformat_new_stream", Mpeg::kAllocationFailed, -12},
        // Control characters stay in the message.
        {"Could not write data to FIFO\n", AVERROR_EXIT, kExitTag},
        {tabs, AVERROR_UNKNOWN, kUnknownTag},
    };
    for (const Case& c : cases)
    {
        const std::string expected = "FfMpegFacade: " + c.message + ": " + StrError(c.code);
        const Mpeg::AvException fromText(c.message.c_str(), c.code);
        const Mpeg::AvException fromString(c.message, c.code);
        EXPECT_EQ(fromText.what(), expected);
        EXPECT_EQ(fromString.what(), expected);
        EXPECT_EQ(fromText.GetErrorCode(), c.expected) << c.message;
        EXPECT_EQ(fromString.GetErrorCode(), c.expected) << c.message;
    }
}

TEST(Exceptions, CheckAvResultThrowsOnlyForNegativeStatuses)
{
    for (const int status : {0, 1, INT_MAX})
        EXPECT_NO_THROW(Mpeg::CheckAvResult(status, "::avio_open")) << status;
    EXPECT_THROW(Mpeg::CheckAvResult(-1, "::x"), Mpeg::AvException);
    try
    {
        Mpeg::CheckAvResult(AVERROR(ENOENT), "::avio_open");
        FAIL() << "no exception";
    }
    catch (const Mpeg::AvException& error)
    {
        // The description appears once: the call name is not decorated further.
        EXPECT_EQ(error.what(), "FfMpegFacade: ::avio_open: " + StrError(AVERROR(ENOENT)));
        EXPECT_EQ(error.GetErrorCode(), 2);
    }
}

TEST(Exceptions, FindCodec)
{
    const AVCodec* encoder = Mpeg::FindCodec(avcodec_find_encoder, AV_CODEC_ID_ADPCM_G726LE);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(encoder->id, AV_CODEC_ID_ADPCM_G726LE);
    EXPECT_TRUE(av_codec_is_encoder(encoder));
    EXPECT_TRUE(av_codec_is_decoder(Mpeg::FindCodec(avcodec_find_decoder, AV_CODEC_ID_MPEG4)));
    EXPECT_THROW(Mpeg::FindCodec(avcodec_find_encoder, AV_CODEC_ID_NONE), Mpeg::AvException);

    const std::pair<int, const char*> missing[] = {{AV_CODEC_ID_AAC, "86018"}, {-5, "-5"}};
    for (const auto& [id, written] : missing)
    {
        try
        {
            Mpeg::FindCodec(FindNothing, id);
            ADD_FAILURE() << "no exception for " << id;
        }
        catch (const Mpeg::AvException& error)
        {
            EXPECT_EQ(error.what(), "FfMpegFacade: Codec id '" + std::string(written) +
                                        "' not found.: " + StrError(AVERROR_EXIT));
            EXPECT_EQ(error.GetErrorCode(), kExitTag);
        }
        EXPECT_EQ(g_lookedUpId, id);
    }
}

TEST(Exceptions, AvExceptionIsCaughtAsEveryBaseAndCopiesKeepTheCode)
{
    const Mpeg::AvException original("::avio_open", AVERROR(ENOENT));
    EXPECT_THROW(throw original, Mpeg::FfMpegFacadeException);
    EXPECT_THROW(throw original, Mpeg::MpegExporterException);
    EXPECT_THROW(throw original, std::runtime_error);
    EXPECT_THROW(throw original, std::exception);

    Mpeg::AvException copy = original;
    EXPECT_STREQ(copy.what(), original.what());
    EXPECT_EQ(copy.GetErrorCode(), 2);
    copy = Mpeg::AvException("::x", AVERROR_EOF);
    EXPECT_EQ(copy.GetErrorCode(), kEofTag);
}
