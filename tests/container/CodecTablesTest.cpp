#include "container/FormatContext.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
// Message of the std::out_of_range that `call` throws, or a note that it did not.
template <typename Call>
std::string OutOfRangeText(Call call)
{
    try
    {
        call();
    }
    catch (const std::out_of_range& error)
    {
        return error.what();
    }
    catch (...)
    {
        return "<other exception>";
    }
    return "<no exception>";
}

class CodecTables : public ::testing::Test
{
protected:
    TestMedia::TempDir m_dir;
    Mpeg::FormatContextOutput m_mp4{TestMedia::Wide(m_dir / "a.mp4")};
    Mpeg::FormatContextOutput m_mov{TestMedia::Wide(m_dir / "a.mov")};
    Mpeg::FormatContextOutput m_mkv{TestMedia::Wide(m_dir / "a.mkv")};
};
} // namespace

TEST_F(CodecTables, EachMediaTypeHasATablePerContainer)
{
    const auto& video = Mpeg::FormatContextOutput::GetSupportedCodecsMap(AVMEDIA_TYPE_VIDEO);
    const auto& audio = Mpeg::FormatContextOutput::GetSupportedCodecsMap(AVMEDIA_TYPE_AUDIO);
    ASSERT_EQ(video.size(), 2u);
    ASSERT_EQ(audio.size(), 2u);
    // Sizes catch a lost or doubled entry; the decisions below check members.
    EXPECT_EQ(video.at("mov").size(), 50u);
    EXPECT_EQ(video.at("mp4").size(), 11u);
    EXPECT_EQ(audio.at("mov").size(), 38u);
    EXPECT_EQ(audio.at("mp4").size(), 8u);
    // Identifiers that FFmpeg 5 renumbered are looked up by name.
    for (const AVCodecID id : {AV_CODEC_ID_Y41P, AV_CODEC_ID_AVRP, AV_CODEC_ID_AVUI, AV_CODEC_ID_TARGA_Y216,
                               AV_CODEC_ID_V308, AV_CODEC_ID_V408, AV_CODEC_ID_YUV4, AV_CODEC_ID_AVRN})
        EXPECT_EQ(video.at("mov").count(id), 1u) << avcodec_get_name(id);
    EXPECT_EQ(audio.at("mov").count(AV_CODEC_ID_EVRC), 1u);
    EXPECT_EQ(audio.at("mov").count(AV_CODEC_ID_SMV), 1u);
}

TEST_F(CodecTables, SourceCodecIsKeptOrReplacedByThePreferredOne)
{
    struct Case
    {
        int mediaType;
        AVCodecID source;
        AVCodecID intoMp4;
        AVCodecID intoMov;
    };
    const Case cases[] = {
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, AV_CODEC_ID_H264, AV_CODEC_ID_H264},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MJPEG, AV_CODEC_ID_MJPEG, AV_CODEC_ID_MJPEG},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG2VIDEO},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H263, AV_CODEC_ID_MPEG4, AV_CODEC_ID_H263},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO, AV_CODEC_ID_MPEG4, AV_CODEC_ID_RAWVIDEO},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_TSCC2, AV_CODEC_ID_TSCC2, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_BMP, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_NONE, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2, AV_CODEC_ID_MP2, AV_CODEC_ID_MP2},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_MULAW},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_S16LE},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_VORBIS, AV_CODEC_ID_VORBIS, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_G726, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_G726LE, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        // The preferred MOV audio codec is not itself in the MOV set.
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_MS, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        // No fallback between the video and the audio table.
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_H264, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_AAC, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG4},
    };
    for (const Case& c : cases)
    {
        const std::string what = std::string(avcodec_get_name(c.source)) + " as media type " + std::to_string(c.mediaType);
        EXPECT_EQ(m_mp4.GetOutputCodecId(c.mediaType, c.source), c.intoMp4) << what << " into mp4";
        EXPECT_EQ(m_mov.GetOutputCodecId(c.mediaType, c.source), c.intoMov) << what << " into mov";
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
        const std::string text = "mediaType '" + std::to_string(mediaType) +
                                 "' passed to FormatContextOutput::GetSupportedCodecsMap is not supported.";
        EXPECT_EQ(OutOfRangeText([&] { Mpeg::FormatContextOutput::GetSupportedCodecsMap(mediaType); }), text);
        // The media type is checked before the container.
        EXPECT_EQ(OutOfRangeText([&] { m_mp4.GetOutputCodecId(mediaType, AV_CODEC_ID_NONE); }), text);
        EXPECT_EQ(OutOfRangeText([&] { m_mkv.GetOutputCodecId(mediaType, AV_CODEC_ID_H264); }), text);
        EXPECT_EQ(OutOfRangeText([&] { m_mov.GetPreferredCodecId(mediaType); }),
                  "mediaType '" + std::to_string(mediaType) +
                      "' passed to FormatContextOutput::GetPreferredCodecId is not supported.");
    }
}

TEST_F(CodecTables, MuxersWithoutATableAreRefused)
{
    const std::string muxer = m_mkv.GetAvFormatContext()->oformat->name;
    ASSERT_EQ(muxer, "matroska");
    for (const int mediaType : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO})
        EXPECT_EQ(OutOfRangeText([&] { m_mkv.GetOutputCodecId(mediaType, AV_CODEC_ID_H264); }),
                  "containerType 'matroska' not found in supported codecs map.");
    EXPECT_EQ(OutOfRangeText([&] { m_mkv.GetPreferredCodecId(AVMEDIA_TYPE_AUDIO); }),
              "containerType 'matroska' passed to FormatContextOutput::GetPreferredCodecId is not supported.");
    // Video does not look at the container.
    EXPECT_EQ(m_mkv.GetPreferredCodecId(AVMEDIA_TYPE_VIDEO), AV_CODEC_ID_MPEG4);
}
