#include "errors/AvResult.h"

#include <gtest/gtest.h>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
std::string StrError(int code)
{
    char text[255] = {};
    av_strerror(code, text, sizeof text);
    return text;
}
} // namespace

TEST(Exceptions, FacadeExceptionComposesOneAndTwoTextForms)
{
    EXPECT_STREQ(Mpeg::FfMpegFacadeException("Audio-related call to video-only adapter").what(),
                 "FfMpegFacade: Audio-related call to video-only adapter");
    EXPECT_STREQ(Mpeg::FfMpegFacadeException("FfMpegFacadeBase::InitStreamVideo",
                                             "m_streamProcessorVideo already initialized")
                     .what(),
                 "FfMpegFacade: FfMpegFacadeBase::InitStreamVideo: m_streamProcessorVideo already initialized");
}
