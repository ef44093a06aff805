#include "streams/Stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
// The kind of standard exception `call` throws, and its text.
std::string ThrownBy(const std::function<void()>& call)
{
    try
    {
        call();
    }
    catch (const std::invalid_argument& error)
    {
        return std::string("invalid_argument: ") + error.what();
    }
    catch (const std::out_of_range& error)
    {
        return std::string("out_of_range: ") + error.what();
    }
    catch (const std::exception& error)
    {
        return std::string("other: ") + error.what();
    }
    return "none";
}

template <typename Enum>
std::function<void()> Mapping(std::int32_t value)
{
    return [value] {
        if constexpr (std::is_same_v<Enum, Mpeg::MediaType>)
            Mpeg::Stream::Map2Av(static_cast<Enum>(value));
        else if constexpr (std::is_same_v<Enum, Mpeg::CodecIdVideo>)
            Mpeg::StreamVideo::Map2Av(static_cast<Enum>(value));
        else
            Mpeg::StreamAudio::Map2Av(static_cast<Enum>(value));
    };
}
} // namespace

TEST(Map2Av, AcceptedValues)
{
    EXPECT_EQ(Mpeg::Stream::Map2Av(Mpeg::MediaType::Video), AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(Mpeg::Stream::Map2Av(Mpeg::MediaType::Audio), AVMEDIA_TYPE_AUDIO);
    const AVCodecID video[] = {AV_CODEC_ID_NONE, AV_CODEC_ID_MJPEG, AV_CODEC_ID_MPEG4, AV_CODEC_ID_H263,
                               AV_CODEC_ID_BMP,  AV_CODEC_ID_NONE,  AV_CODEC_ID_H264,  AV_CODEC_ID_HEVC};
    for (std::int32_t value = 0; value <= 7; ++value)
    {
        if (value != 5)
        {
            EXPECT_EQ(Mpeg::StreamVideo::Map2Av(static_cast<Mpeg::CodecIdVideo>(value)), video[value]) << value;
        }
    }
    const AVCodecID audio[] = {AV_CODEC_ID_NONE,      AV_CODEC_ID_ADPCM_G726, AV_CODEC_ID_ADPCM_G726LE,
                               AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_PCM_ALAW,   AV_CODEC_ID_PCM_S16BE,
                               AV_CODEC_ID_MP2,       AV_CODEC_ID_AAC};
    for (std::int32_t value = 0; value <= 7; ++value)
        EXPECT_EQ(Mpeg::StreamAudio::Map2Av(static_cast<Mpeg::CodecIdAudio>(value)), audio[value]) << value;
    EXPECT_EQ(Mpeg::StreamAudio::Map2Av(Mpeg::ChannelLayout::Mono), 4u);
    EXPECT_EQ(Mpeg::StreamAudio::Map2Av(Mpeg::ChannelLayout::Mono), std::uint64_t{AV_CH_LAYOUT_MONO});
}

TEST(Map2Av, RefusedValues)
{
    const std::pair<std::function<void()>, std::string> cases[] = {
        {Mapping<Mpeg::MediaType>(2), "out_of_range: mediaType '2' of the passed to Stream::Map2Av is not supported."},
        {Mapping<Mpeg::MediaType>(-1), "out_of_range: mediaType '-1' of the passed to Stream::Map2Av is not supported."},
        {Mapping<Mpeg::CodecIdVideo>(-1),
         "invalid_argument: CodecIdVideo value passed to StreamVideo::Map2Av can not be undefined (-1)"},
        {Mapping<Mpeg::CodecIdVideo>(5),
         "invalid_argument: CodecIdVideo value 5 passed to StreamVideo::Map2Av is unsupported by FFmpeg"},
        {Mapping<Mpeg::CodecIdVideo>(8), "out_of_range: Unknown CodecIdVideo 8 is passed to StreamVideo::Map2Av"},
        {Mapping<Mpeg::CodecIdVideo>(-2), "out_of_range: Unknown CodecIdVideo -2 is passed to StreamVideo::Map2Av"},
        {Mapping<Mpeg::CodecIdVideo>(INT_MIN),
         "out_of_range: Unknown CodecIdVideo -2147483648 is passed to StreamVideo::Map2Av"},
        {Mapping<Mpeg::CodecIdAudio>(-1),
         "invalid_argument: CodecIdAudio value passed to StreamAudio::Map2Av can not be undefined (-1)"},
        {Mapping<Mpeg::CodecIdAudio>(8), "out_of_range: Unknown CodecIdAudio 8 is passed to StreamAudio::Map2Av."},
        {Mapping<Mpeg::CodecIdAudio>(-2), "out_of_range: Unknown CodecIdAudio -2 is passed to StreamAudio::Map2Av."},
        {Mapping<Mpeg::ChannelLayout>(-1),
         "invalid_argument: channelLayout value passed to StreamAudio::Map2Av can not be undefined (-1)"},
        {Mapping<Mpeg::ChannelLayout>(1), "out_of_range: Unknown ChannelLayout 1 is passed to StreamAudio::Map2Av."},
        {Mapping<Mpeg::ChannelLayout>(-2), "out_of_range: Unknown ChannelLayout -2 is passed to StreamAudio::Map2Av."},
    };
    for (const auto& [call, expected] : cases)
        EXPECT_EQ(ThrownBy(call), expected);
}

TEST(GetSampleFormat, RealEncodersGiveTheirFirstListedFormat)
{
    const std::pair<AVCodecID, AVSampleFormat> cases[] = {
        {AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16},    {AV_CODEC_ID_PCM_ALAW, AV_SAMPLE_FMT_S16},
        {AV_CODEC_ID_PCM_S16BE, AV_SAMPLE_FMT_S16},    {AV_CODEC_ID_ADPCM_G726, AV_SAMPLE_FMT_S16},
        {AV_CODEC_ID_ADPCM_G726LE, AV_SAMPLE_FMT_S16}, {AV_CODEC_ID_ADPCM_MS, AV_SAMPLE_FMT_S16},
        {AV_CODEC_ID_MP2, AV_SAMPLE_FMT_S16},          {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP},
    };
    for (const auto& [id, format] : cases)
    {
        const AVCodec* encoder = avcodec_find_encoder(id);
        ASSERT_NE(encoder, nullptr) << avcodec_get_name(id);
        EXPECT_EQ(Mpeg::StreamAudio::GetSampleFormat(encoder), format) << avcodec_get_name(id);
    }
}

TEST(GetSampleFormat, WithoutAListTheCodecDecides)
{
    // Stand-ins for encoders: only the id and the format list are consulted.
    const std::pair<AVCodecID, AVSampleFormat> table[] = {
        {AV_CODEC_ID_PCM_S16BE, AV_SAMPLE_FMT_S16},    {AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_NONE},
        {AV_CODEC_ID_PCM_ALAW, AV_SAMPLE_FMT_S16},     {AV_CODEC_ID_ADPCM_MS, AV_SAMPLE_FMT_S16},
        {AV_CODEC_ID_ADPCM_G726, AV_SAMPLE_FMT_NONE},  {AV_CODEC_ID_ADPCM_G726LE, AV_SAMPLE_FMT_NONE},
        {AV_CODEC_ID_MP2, AV_SAMPLE_FMT_NONE},         {AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP},
    };
    for (const auto& [id, format] : table)
    {
        AVCodec encoder{};
        encoder.id = id;
        EXPECT_EQ(Mpeg::StreamAudio::GetSampleFormat(&encoder), format) << avcodec_get_name(id);
    }
    for (const AVCodecID id : {AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE})
    {
        AVCodec encoder{};
        encoder.id = id;
        EXPECT_EQ(ThrownBy([&] { Mpeg::StreamAudio::GetSampleFormat(&encoder); }),
                  "invalid_argument: AVCodecID '" + std::to_string(static_cast<int>(id)) +
                      "' passed to StreamAudio::GetSampleFormat is not supported.");
    }
    // A list wins over the table, even where the table would say otherwise.
    static const AVSampleFormat formats[] = {AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_NONE};
    AVCodec listing{};
    listing.id = AV_CODEC_ID_PCM_MULAW;
    listing.sample_fmts = formats;
    EXPECT_EQ(Mpeg::StreamAudio::GetSampleFormat(&listing), AV_SAMPLE_FMT_S32);
}
