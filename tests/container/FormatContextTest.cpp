#include "container/AvCompat.h"
#include "container/FormatContext.h"
#include "errors/AvResult.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <string>
#include <tuple>

using TestMedia::StrError;
using TestMedia::Thrown;
using TestMedia::Wide;

namespace
{
// These allocations practically never fail. The definitions below take
// precedence over libavformat's for the library code linked into this
// program; they forward to the real functions unless a test asks for failure.
bool g_allocContextYieldsNothing = false;
bool g_outputContextLeftUnset = false;
} // namespace

extern "C" AVFormatContext* avformat_alloc_context(void)
{
    static const auto real = reinterpret_cast<AVFormatContext* (*)()>(dlsym(RTLD_NEXT, "avformat_alloc_context"));
    return g_allocContextYieldsNothing ? nullptr : real();
}

extern "C" int avformat_alloc_output_context2(AVFormatContext** context, const AVOutputFormat* format,
                                              const char* formatName, const char* fileName)
{
    static const auto real = reinterpret_cast<int (*)(AVFormatContext**, const AVOutputFormat*, const char*, const char*)>(
        dlsym(RTLD_NEXT, "avformat_alloc_output_context2"));
    if (!g_outputContextLeftUnset)
        return real(context, format, formatName, fileName);
    *context = nullptr;
    return 0;
}

TEST(FormatContextOutput, MuxerFollowsTheExtensionAndNothingIsCreatedBeforeOpening)
{
    TestMedia::TempDir dir;
    for (const char* muxer : {"mp4", "mov"})
    {
        const std::string name = std::string("a.") + muxer;
        const Mpeg::FormatContextOutput output(Wide(dir / name));
        ASSERT_NE(output.GetAvFormatContext(), nullptr);
        EXPECT_STREQ(output.GetAvFormatContext()->oformat->name, muxer);
        EXPECT_EQ(output.GetAvFormatContext()->url, (dir / name).string());
        EXPECT_EQ(output.CurrentPosition(), 0);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));

    for (const char* file : {"a.unknownextension", "no_extension"})
    {
        const std::string text = Thrown([&] { Mpeg::FormatContextOutput output(Wide(dir / file)); });
        EXPECT_EQ(text, "AvException 22: FfMpegFacade: ::avformat_alloc_output_context2: " + StrError(AVERROR(EINVAL)))
            << file;
    }
}

TEST(FormatContext, ContextsThatFFmpegDoesNotDeliverAreReported)
{
    EXPECT_NE(Mpeg::FormatContextInput().GetAvFormatContext(), nullptr);
    TestMedia::TempDir dir;
    g_outputContextLeftUnset = true;
    const std::string output = Thrown([&] { Mpeg::FormatContextOutput context(Wide(dir / "a.mp4")); });
    g_outputContextLeftUnset = false;
    g_allocContextYieldsNothing = true;
    const std::string input = Thrown([] { Mpeg::FormatContextInput context; });
    g_allocContextYieldsNothing = false;

    EXPECT_EQ(output, "AvException " + std::to_string(MKTAG('U', 'N', 'K', 'N')) +
                          ": FfMpegFacade: ::avformat_alloc_output_context2 did not set context pointer to the "
                          "\t\t\t\t\t\t\tcreated format context address despite returned succeeded return code: " +
                          StrError(AVERROR_UNKNOWN));
    EXPECT_EQ(input, "AvException -12: FfMpegFacade: ::avformat_alloc_context did not returned format context "
                     "pointer.: " + StrError(12));
}

TEST(FormatContextOutput, FileNamesOutsideTheBasicPlaneReachTheDisk)
{
    TestMedia::TempDir dir;
    // U+00E9, U+20AC, U+1F600 and U+10348 (two-, three- and four-byte UTF-8)
    // as a UTF-16 host sends them: the last two as surrogate pairs.
    const std::wstring directory = Wide(dir.Path()) + L"/";
    auto unit = [](std::uint32_t value) { return static_cast<wchar_t>(value); };
    {
        Mpeg::FormatContextOutput output(directory + std::wstring{unit(0xE9), unit(0x20AC), L'-', unit(0xD83D),
                                                                  unit(0xDE00), unit(0xD800), unit(0xDF48)} +
                                         L".mov");
        AVFormatContext* context = output.GetAvFormatContext();
        ASSERT_GE(avio_open(&context->pb, context->url, AVIO_FLAG_WRITE), 0);
    }
    const std::string utf8Name = "\xC3\xA9\xE2\x82\xAC-\xF0\x9F\x98\x80\xF0\x90\x8D\x88.mov";
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{utf8Name});
    std::filesystem::remove(dir / utf8Name);
    // A broken name fails before any file exists.
    EXPECT_EQ(Thrown([&] { Mpeg::FormatContextOutput(directory + std::wstring{unit(0xD83D), L'a'} + L".mp4"); }),
              "range_error: bad conversion");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

namespace
{
class CodecTables : public ::testing::Test
{
protected:
    TestMedia::TempDir m_dir;
    Mpeg::FormatContextOutput m_mp4{Wide(m_dir / "a.mp4")};
    Mpeg::FormatContextOutput m_mov{Wide(m_dir / "a.mov")};
    Mpeg::FormatContextOutput m_mkv{Wide(m_dir / "a.mkv")};
};
} // namespace

TEST_F(CodecTables, EachMediaTypeHasATablePerContainer)
{
    const auto& video = Mpeg::FormatContextOutput::GetSupportedCodecsMap(AVMEDIA_TYPE_VIDEO);
    const auto& audio = Mpeg::FormatContextOutput::GetSupportedCodecsMap(AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(video.size(), 2u);
    ASSERT_EQ(audio.size(), 2u);
    // Sizes catch a lost entry; the decisions below check members.
    // FFmpeg 9.0 dropped V308, V408 and V410.
    EXPECT_EQ(video.at("mov").size(), MPEGEXPORTER_HAS_V308_V408_V410 ? 50u : 47u);
    EXPECT_EQ(video.at("mp4").size(), 11u);
    EXPECT_EQ(audio.at("mov").size(), 38u);
    EXPECT_EQ(audio.at("mp4").size(), 8u);
    // Identifiers that FFmpeg 5 renumbered are looked up by name.
    for (const AVCodecID id : {AV_CODEC_ID_Y41P, AV_CODEC_ID_AVRP, AV_CODEC_ID_AVUI, AV_CODEC_ID_TARGA_Y216,
                               AV_CODEC_ID_YUV4, AV_CODEC_ID_AVRN})
        EXPECT_EQ(video.at("mov").count(id), 1u) << avcodec_get_name(id);
#if MPEGEXPORTER_HAS_V308_V408_V410
    for (const AVCodecID id : {AV_CODEC_ID_V308, AV_CODEC_ID_V408})
        EXPECT_EQ(video.at("mov").count(id), 1u) << avcodec_get_name(id);
#endif
    EXPECT_EQ(audio.at("mov").count(AV_CODEC_ID_EVRC), 1u);
    EXPECT_EQ(audio.at("mov").count(AV_CODEC_ID_SMV), 1u);
}

TEST_F(CodecTables, SourceCodecIsKeptOrReplacedByThePreferredOne)
{
    // Media type, source codec, what MP4 and MOV carry.
    const std::tuple<int, AVCodecID, AVCodecID, AVCodecID> cases[] = {
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, AV_CODEC_ID_H264, AV_CODEC_ID_H264},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG2VIDEO},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H263, AV_CODEC_ID_MPEG4, AV_CODEC_ID_H263},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO, AV_CODEC_ID_MPEG4, AV_CODEC_ID_RAWVIDEO},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_TSCC2, AV_CODEC_ID_TSCC2, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_BMP, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_NONE, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2, AV_CODEC_ID_MP2, AV_CODEC_ID_MP2},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_MULAW},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_VORBIS, AV_CODEC_ID_VORBIS, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_G726, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_G726LE, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        // The preferred MOV audio codec is not itself in the MOV set.
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_MS, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        // No fallback between the video and the audio table.
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_H264, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_AAC, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG4},
    };
    for (const auto& [mediaType, source, intoMp4, intoMov] : cases)
    {
        SCOPED_TRACE(std::string(avcodec_get_name(source)) + " as media type " + std::to_string(mediaType));
        EXPECT_EQ(m_mp4.GetOutputCodecId(mediaType, source), intoMp4);
        EXPECT_EQ(m_mov.GetOutputCodecId(mediaType, source), intoMov);
    }
    EXPECT_EQ(m_mp4.GetPreferredCodecId(AVMEDIA_TYPE_VIDEO), AV_CODEC_ID_MPEG4);
    EXPECT_EQ(m_mov.GetPreferredCodecId(AVMEDIA_TYPE_VIDEO), AV_CODEC_ID_MPEG4);
    EXPECT_EQ(m_mp4.GetPreferredCodecId(AVMEDIA_TYPE_AUDIO), AV_CODEC_ID_AAC);
    EXPECT_EQ(m_mov.GetPreferredCodecId(AVMEDIA_TYPE_AUDIO), AV_CODEC_ID_ADPCM_MS);
}

TEST_F(CodecTables, RefusalsNameTheValueAndTheOperation)
{
    for (const int mediaType : {-1, 2, 3})
    {
        const std::string value = "out_of_range: mediaType '" + std::to_string(mediaType) + "' passed to ";
        const std::string text = value + "FormatContextOutput::GetSupportedCodecsMap is not supported.";
        EXPECT_EQ(Thrown([&] { Mpeg::FormatContextOutput::GetSupportedCodecsMap(mediaType); }), text);
        // The media type is checked before the container.
        EXPECT_EQ(Thrown([&] { m_mp4.GetOutputCodecId(mediaType, AV_CODEC_ID_NONE); }), text);
        EXPECT_EQ(Thrown([&] { m_mkv.GetOutputCodecId(mediaType, AV_CODEC_ID_H264); }), text);
        EXPECT_EQ(Thrown([&] { m_mov.GetPreferredCodecId(mediaType); }),
                  value + "FormatContextOutput::GetPreferredCodecId is not supported.");
    }
    ASSERT_STREQ(m_mkv.GetAvFormatContext()->oformat->name, "matroska");
    for (const int mediaType : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO})
        EXPECT_EQ(Thrown([&] { m_mkv.GetOutputCodecId(mediaType, AV_CODEC_ID_H264); }),
                  "out_of_range: containerType 'matroska' not found in supported codecs map.");
    EXPECT_EQ(Thrown([&] { m_mkv.GetPreferredCodecId(AVMEDIA_TYPE_AUDIO); }),
              "out_of_range: containerType 'matroska' passed to FormatContextOutput::GetPreferredCodecId is not "
              "supported.");
    // Video does not look at the container.
    EXPECT_EQ(m_mkv.GetPreferredCodecId(AVMEDIA_TYPE_VIDEO), AV_CODEC_ID_MPEG4);
}
