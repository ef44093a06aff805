#include "av/AvResult.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <type_traits>

// A host catches every library error by one of these bases.
static_assert(std::is_base_of_v<std::runtime_error, Mpeg::MpegExporterException>);
static_assert(std::is_base_of_v<Mpeg::MpegExporterException, Mpeg::FfMpegFacadeException>);
static_assert(std::is_base_of_v<Mpeg::FfMpegFacadeException, Mpeg::AvException>);

// The text names the call and FFmpeg's description once; the code is the
// negated FFmpeg code, which hosts compare with errno values.
TEST(Exceptions, AvResultsBecomeAvExceptionsWithTheirCode)
{
    const std::tuple<std::string, int, std::int32_t> cases[] = {
        {"::avio_open", AVERROR(ENOENT), 2},
        {"::x", AVERROR_EOF, MKTAG('E', 'O', 'F', ' ')},
        // An allocation that yielded nothing (no FFmpeg status) reports -12.
        {"::avformat_new_stream", Mpeg::kAllocationFailed, -12},
        // INT_MIN has no positive counterpart; it stays, without an overflow.
        {"::x", INT_MIN, INT_MIN},
        {"Could not write data to FIFO\n", AVERROR_EXIT, MKTAG('E', 'X', 'I', 'T')},
    };
    for (const auto& [call, code, reported] : cases)
    {
        const std::string text = "FfMpegFacade: " + call + ": " + TestMedia::StrError(code);
        if (code < 0)
        {
            EXPECT_EQ(TestMedia::Thrown([&, call = call, code = code] { Mpeg::CheckAvResult(code, call.c_str()); }),
                      "AvException " + std::to_string(reported) + ": " + text);
        }
        const Mpeg::AvException fromString(call, code);
        EXPECT_EQ(std::tuple(std::string(fromString.what()), fromString.GetErrorCode()), std::tuple(text, reported));
    }
    for (const int status : {0, 1, INT_MAX})
        EXPECT_NO_THROW(Mpeg::CheckAvResult(status, "::avio_open")) << status;
}
