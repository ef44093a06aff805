#include "support/TestMedia.h"

#include <gtest/gtest.h>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

TEST(Smoke, Mpeg4CopyAndH263Transcode)
{
    TestMedia::TempDir dir;
    for (const char* encoder : {"mpeg4", "h263"})
    {
        const auto media = TestMedia::EncodeVideo(encoder, 352, 288, 30);
        auto facade = Mpeg::IFfMpegFacade::Create(false);
        const auto path = dir / (std::string(encoder) + ".mp4");
        facade->StartInitMediaFile(TestMedia::Wide(path));
        auto parameters = std::make_unique<Mpeg::StreamParametersVideo>();
        parameters->timeScale = 25;
        parameters->codecId = std::string(encoder) == "h263" ? Mpeg::CodecIdVideo::H263 : Mpeg::CodecIdVideo::Mpeg4;
        parameters->width = 352;
        parameters->height = 288;
        parameters->codecConfiguration.extraData = media.extradata;
        facade->InitStreamVideo(std::move(parameters));
        facade->FinishInitMediaFile();
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400000));
        const auto size = facade->FinishMediaFile();
        EXPECT_EQ(size, static_cast<std::int64_t>(std::filesystem::file_size(path)));
        const auto file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), 1u);
        EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
        EXPECT_EQ(TestMedia::DecodeFrameCount(path, 0), 30) << encoder;
    }
}
