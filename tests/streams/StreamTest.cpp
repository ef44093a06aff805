#include "container/FormatContext.h"
#include "errors/AvResult.h"
#include "streams/Stream.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <tuple>

extern "C" {
#include <libavutil/channel_layout.h>
}

using Audio = Mpeg::CodecIdAudio;
using Video = Mpeg::CodecIdVideo;
using TestMedia::Bytes;

namespace
{
Mpeg::StreamParametersAudio AudioRecord(Audio codec, int rate, Bytes header = {})
{
    Mpeg::StreamParametersAudio record;
    record.timeScale = rate;
    record.codecId = codec;
    record.firstPacketHeader = std::move(header);
    return record;
}

Bytes Extradata(const AVCodecParameters* codec)
{
    return Bytes(codec->extradata, codec->extradata + codec->extradata_size);
}

// ADTS header of one AAC-LC frame at 8 kHz, mono, one raw data block.
const Bytes kAdts = {0xFF, 0xF1, 0x6C, 0x40, 0x1F, 0xFF, 0xFC};

class Streams : public ::testing::Test
{
protected:
    Mpeg::FormatContextOutput& Output(const std::string& container)
    {
        m_outputs.push_back(std::make_unique<Mpeg::FormatContextOutput>(TestMedia::Wide(m_dir / ("out." + container))));
        return *m_outputs.back();
    }

    TestMedia::TempDir m_dir;
    Mpeg::FormatContextInput m_input;
    std::vector<std::unique_ptr<Mpeg::FormatContextOutput>> m_outputs;
};
} // namespace

// Enumeration values are mapped while the input stream is built: the media
// type first, then the codec, then the channel layout, then the encoder lookup.
TEST_F(Streams, InputRecordsAreRefusedInTheirCheckingOrder)
{
    auto video = [this](std::int32_t mediaType, std::int32_t codec, std::int32_t timeScale = 25) {
        return [=] {
            auto record = TestMedia::VideoRecord(static_cast<Video>(codec), 64, 48, timeScale);
            record->codecConfiguration.mediaType = static_cast<Mpeg::MediaType>(mediaType);
            Mpeg::StreamVideo stream(0, m_input, *record);
        };
    };
    auto audio = [this](std::int32_t mediaType, std::int32_t codec, std::int32_t layout) {
        return [=] {
            auto record = AudioRecord(static_cast<Audio>(codec), 8000);
            record.codecConfiguration.mediaType = static_cast<Mpeg::MediaType>(mediaType);
            record.channelLayout = static_cast<Mpeg::ChannelLayout>(layout);
            Mpeg::StreamAudio stream(0, m_input, record);
        };
    };
    auto mediaType = [](int value) {
        return "out_of_range: mediaType '" + std::to_string(value) +
               "' of the passed to Stream::Map2Av is not supported.";
    };
    const std::string undefined = "invalid_argument: ";
    const std::string unknownVideo = "out_of_range: Unknown CodecIdVideo ";
    const std::string unknownAudio = "out_of_range: Unknown CodecIdAudio ";
    const std::string unknownLayout = "out_of_range: Unknown ChannelLayout ";
    const std::pair<std::function<void()>, std::string> cases[] = {
        // A time base of 1/0 would make the muxer loop: refused before anything else.
        {video(2, -1, 0), "FfMpegFacadeException: FfMpegFacade: Stream::Stream: timeScale must be positive"},
        {video(2, -1, -25), "FfMpegFacadeException: FfMpegFacade: Stream::Stream: timeScale must be positive"},
        {video(2, -1), mediaType(2)},
        {video(-1, 0), mediaType(-1)},
        {video(0, -1), undefined + "CodecIdVideo value passed to StreamVideo::Map2Av can not be undefined (-1)"},
        {video(0, 5), undefined + "CodecIdVideo value 5 passed to StreamVideo::Map2Av is unsupported by FFmpeg"},
        {video(0, 8), unknownVideo + "8 is passed to StreamVideo::Map2Av"},
        {video(0, -2), unknownVideo + "-2 is passed to StreamVideo::Map2Av"},
        {video(0, INT_MIN), unknownVideo + "-2147483648 is passed to StreamVideo::Map2Av"},
        {audio(2, -1, -1), mediaType(2)},
        {audio(1, -1, -1), undefined + "CodecIdAudio value passed to StreamAudio::Map2Av can not be undefined (-1)"},
        {audio(1, 8, -1), unknownAudio + "8 is passed to StreamAudio::Map2Av."},
        {audio(1, -2, -1), unknownAudio + "-2 is passed to StreamAudio::Map2Av."},
        {audio(1, 0, -1), undefined + "channelLayout value passed to StreamAudio::Map2Av can not be undefined (-1)"},
        {audio(1, 0, 1), unknownLayout + "1 is passed to StreamAudio::Map2Av."},
        {audio(1, 0, -2), unknownLayout + "-2 is passed to StreamAudio::Map2Av."},
        // None passes the mapping; the encoder lookup refuses it.
        {audio(1, 0, 0), "AvException " + std::to_string(MKTAG('E', 'X', 'I', 'T')) +
                             ": FfMpegFacade: Codec id '0' not found.: " + TestMedia::StrError(AVERROR_EXIT)},
    };
    for (const auto& [build, expected] : cases)
        EXPECT_EQ(TestMedia::Thrown(build), expected);
}

TEST_F(Streams, VideoInputDescribesTheDeclaredStream)
{
    const std::tuple<Video, AVCodecID, AVPixelFormat> cases[] = {
        {Video::None, AV_CODEC_ID_NONE, AV_PIX_FMT_RGB24},    {Video::Mjpeg, AV_CODEC_ID_MJPEG, AV_PIX_FMT_RGB24},
        {Video::Mpeg4, AV_CODEC_ID_MPEG4, AV_PIX_FMT_YUV420P}, {Video::H263, AV_CODEC_ID_H263, AV_PIX_FMT_YUV420P},
        {Video::Bmp, AV_CODEC_ID_BMP, AV_PIX_FMT_YUV420P},     {Video::H264, AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P},
        {Video::H265, AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P},
    };
    const Bytes extra = {0, 0, 0, 1, 0x67, 0x42};
    for (const auto& [declared, id, format] : cases)
    {
        auto record = TestMedia::VideoRecord(declared, 320, 240, 90000, extra);
        const Mpeg::StreamVideo stream(4, m_input, *record);
        const AVStream* av = stream.GetAvStream();
        const AVCodecParameters* codec = av->codecpar;
        SCOPED_TRACE(avcodec_get_name(id));
        EXPECT_EQ(std::tuple(av->index, av->time_base.num, av->time_base.den), std::tuple(4, 1, 90000));
        EXPECT_EQ(std::tuple(codec->codec_type, codec->codec_id, codec->format, codec->width, codec->height),
                  std::tuple(AVMEDIA_TYPE_VIDEO, id, static_cast<int>(format), 320, 240));
        EXPECT_EQ(Extradata(codec), extra);
    }
    auto record = TestMedia::VideoRecord(Video::Mpeg4, 320, 240);
    EXPECT_EQ(Mpeg::StreamVideo(0, m_input, *record).GetCodecParameters()->extradata, nullptr);
}

TEST_F(Streams, AudioInputDescribesTheDeclaredStream)
{
    const std::tuple<Audio, AVCodecID, AVSampleFormat> cases[] = {
        {Audio::G726, AV_CODEC_ID_ADPCM_G726, AV_SAMPLE_FMT_S16},
        {Audio::G726le, AV_CODEC_ID_ADPCM_G726LE, AV_SAMPLE_FMT_S16},
        {Audio::PcmMulaw, AV_CODEC_ID_PCM_MULAW, AV_SAMPLE_FMT_S16},
        {Audio::PcmAlaw, AV_CODEC_ID_PCM_ALAW, AV_SAMPLE_FMT_S16},
        {Audio::PcmS16be, AV_CODEC_ID_PCM_S16BE, AV_SAMPLE_FMT_S16},
        {Audio::Mp2, AV_CODEC_ID_MP2, AV_SAMPLE_FMT_S16},
        {Audio::Aac, AV_CODEC_ID_AAC, AV_SAMPLE_FMT_FLTP},
    };
    for (const auto& [declared, id, format] : cases)
        for (const int channels : {1, 2})
        {
            auto record = AudioRecord(declared, 16000);
            record.channels = channels;
            record.blockAlign = 3;
            const Mpeg::StreamAudio stream(1, m_input, record);
            const AVCodecParameters* codec = stream.GetCodecParameters();
            SCOPED_TRACE(std::string(avcodec_get_name(id)) + " channels " + std::to_string(channels));
            EXPECT_EQ(av_cmp_q(stream.GetAvStream()->time_base, AVRational{1, 16000}), 0);
            EXPECT_EQ(
                std::tuple(codec->codec_type, codec->codec_id, codec->sample_rate, codec->format, codec->block_align),
                std::tuple(AVMEDIA_TYPE_AUDIO, id, 16000, static_cast<int>(format), 3));
            // Declared mono; another count keeps the count in unspecified order.
            EXPECT_EQ(codec->ch_layout.nb_channels, channels);
            EXPECT_TRUE(channels == 1 ? codec->ch_layout.u.mask == AV_CH_LAYOUT_MONO
                                      : codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC);
        }
}

// Without a format list the codec decides; a list wins, even where the codec
// alone would say otherwise.
TEST(GetSampleFormat, ListWinsAndUnknownCodecsAreRefused)
{
    for (const AVCodecID id : {AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE})
        EXPECT_EQ(TestMedia::Thrown([&] { Mpeg::StreamAudio::GetSampleFormat(id, nullptr); }),
                  "invalid_argument: AVCodecID '" + std::to_string(static_cast<int>(id)) +
                      "' passed to StreamAudio::GetSampleFormat is not supported.");
    static const AVSampleFormat formats[] = {AV_SAMPLE_FMT_S32, AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_NONE};
    EXPECT_EQ(Mpeg::StreamAudio::GetSampleFormat(AV_CODEC_ID_PCM_MULAW, formats), AV_SAMPLE_FMT_S32);
    // A real encoder: the native AAC encoder lists planar float first.
    EXPECT_EQ(Mpeg::StreamAudio::GetSampleFormat(avcodec_find_encoder(AV_CODEC_ID_AAC)), AV_SAMPLE_FMT_FLTP);
}

TEST_F(Streams, AdtsProbe)
{
    auto withBlocks = [](int blocksMinusOne) {
        auto header = kAdts;
        header[6] = static_cast<std::uint8_t>(header[6] | blocksMinusOne);
        return header;
    };
    struct Case
    {
        const char* what;
        Audio codec;
        Bytes header;
        bool hasAdts;
        int frameSize;
    };
    const Case cases[] = {
        {"one block", Audio::Aac, kAdts, true, 1024},
        {"two blocks", Audio::Aac, withBlocks(1), true, 2048},
        {"four blocks", Audio::Aac, withBlocks(3), true, 4096},
        {"MPEG-2 id bit", Audio::Aac, {0xFF, 0xF9, 0x60, 0x40, 0x1F, 0xFF, 0xFD}, true, 2048},
        {"two bytes only", Audio::Aac, {0xFF, 0xF1}, false, 0},
        {"three bytes: frame size left open", Audio::Aac, {0xFF, 0xF1, 0x60}, true, 0},
        {"sync word one bit short", Audio::Aac, {0xFF, 0xE1, 0x60, 0x40, 0x1F, 0xFF, 0xFF}, false, 0},
        {"first byte not 0xFF", Audio::Aac, {0xFE, 0xF1, 0x60, 0x40, 0x1F, 0xFF, 0xFF}, false, 0},
        {"ADTS bytes on another codec", Audio::Mp2, withBlocks(3), false, 0},
    };
    for (const Case& c : cases)
    {
        auto record = AudioRecord(c.codec, 8000, c.header);
        record.firstPacketHeader.shrink_to_fit(); // a read past the end shows under a sanitizer
        const Mpeg::StreamAudio stream(1, m_input, record);
        EXPECT_EQ(stream.HasAdtsHeaders(), c.hasAdts) << c.what;
        EXPECT_EQ(stream.GetCodecParameters()->frame_size, c.frameSize) << c.what;
    }
}

TEST_F(Streams, VideoOutputCopiesOrTranscodesPerContainer)
{
    // Declared codec, the codec the input stream carries, container, expected output codec.
    const std::tuple<Video, AVCodecID, const char*, AVCodecID> cases[] = {
        {Video::H264, AV_CODEC_ID_H264, "mp4", AV_CODEC_ID_H264},
        {Video::H263, AV_CODEC_ID_H263, "mp4", AV_CODEC_ID_MPEG4},
        {Video::H263, AV_CODEC_ID_H263, "mov", AV_CODEC_ID_H263},
        {Video::Bmp, AV_CODEC_ID_BMP, "mov", AV_CODEC_ID_MPEG4},
        // No enumerator declares MPEG-2 video; the input stream is retagged instead.
        {Video::Mpeg4, AV_CODEC_ID_MPEG2VIDEO, "mp4", AV_CODEC_ID_MPEG2VIDEO},
    };
    const Bytes extra = {1, 2, 3, 4, 5};
    for (const auto& [declared, actual, container, expected] : cases)
    {
        auto record = TestMedia::VideoRecord(declared, 320, 240, 90000, extra);
        Mpeg::StreamVideo input(2, m_input, *record);
        AVCodecParameters* source = input.GetCodecParameters();
        source->codec_id = actual;
        source->codec_tag = MKTAG('X', 'Y', 'Z', 'W');
        source->sample_aspect_ratio = AVRational{4, 3};
        const Mpeg::StreamVideo output(Output(container), input);

        const AVStream* av = output.GetAvStream();
        const AVCodecParameters* codec = av->codecpar;
        const bool copied = expected == actual;
        SCOPED_TRACE(std::string(avcodec_get_name(actual)) + " into " + container);
        // A foreign tag would make the muxer refuse the header: it picks its own.
        EXPECT_EQ(std::tuple(codec->codec_id, codec->codec_tag, av->index, av->time_base.num, av->time_base.den),
                  std::tuple(expected, 0u, 2, 1, 90000));
        // A copy takes every parameter; otherwise only the codec is chosen here.
        EXPECT_EQ(codec->width, copied ? 320 : 0);
        EXPECT_EQ(Extradata(codec), copied ? extra : Bytes{});
        EXPECT_EQ(av_cmp_q(av->sample_aspect_ratio, copied ? AVRational{4, 3} : AVRational{0, 1}), 0);
    }
}

TEST_F(Streams, AudioOutputChoosesCodecRateAndFormat)
{
    struct Case
    {
        Audio codec;
        int rate;
        const char* container;
        AVCodecID expectedCodec;
        int expectedRate;
        AVSampleFormat expectedFormat;
        bool resampling;
    };
    const Case cases[] = {
        // G.711 into MP4: the AAC encoder lists 8000 Hz but not 16-bit samples.
        {Audio::PcmMulaw, 8000, "mp4", AV_CODEC_ID_AAC, 8000, AV_SAMPLE_FMT_FLTP, true},
        {Audio::PcmMulaw, 8000, "mov", AV_CODEC_ID_PCM_MULAW, 8000, AV_SAMPLE_FMT_S16, false},
        {Audio::PcmAlaw, 16000, "mp4", AV_CODEC_ID_AAC, 16000, AV_SAMPLE_FMT_FLTP, true},
        // A rate the AAC encoder does not list: its first listed rate.
        {Audio::PcmMulaw, 11000, "mp4", AV_CODEC_ID_AAC, 96000, AV_SAMPLE_FMT_FLTP, true},
        {Audio::PcmS16be, 44100, "mov", AV_CODEC_ID_PCM_S16BE, 44100, AV_SAMPLE_FMT_S16, false},
        // G.726 into MOV becomes ADPCM MS, whose encoder lists no rates: 8000 Hz.
        {Audio::G726, 8000, "mov", AV_CODEC_ID_ADPCM_MS, 8000, AV_SAMPLE_FMT_S16, false},
        {Audio::G726, 16000, "mov", AV_CODEC_ID_ADPCM_MS, 8000, AV_SAMPLE_FMT_S16, true},
        {Audio::G726le, 8000, "mp4", AV_CODEC_ID_AAC, 8000, AV_SAMPLE_FMT_FLTP, true},
        {Audio::Mp2, 48000, "mp4", AV_CODEC_ID_MP2, 48000, AV_SAMPLE_FMT_S16, false},
        {Audio::Aac, 22050, "mov", AV_CODEC_ID_AAC, 22050, AV_SAMPLE_FMT_FLTP, false},
    };
    const Bytes extra = {0x11, 0x90, 0x56, 0xE5, 0x00};
    for (const Case& c : cases)
    {
        auto record = AudioRecord(c.codec, c.rate);
        record.channels = 2;
        record.blockAlign = 4;
        record.codecConfiguration.extraData = extra;
        const Mpeg::StreamAudio input(3, m_input, record);
        input.GetCodecParameters()->codec_tag = MKTAG('X', 'Y', 'Z', 'W');
        const Mpeg::StreamAudio output(Output(c.container), input);
        const AVCodecParameters* codec = output.GetCodecParameters();
        const AVRational timeBase = output.GetAvStream()->time_base;
        SCOPED_TRACE(std::string(avcodec_get_name(input.GetCodecParameters()->codec_id)) + " at " +
                     std::to_string(c.rate) + " into " + c.container);
        EXPECT_EQ(std::tuple(codec->codec_type, codec->codec_id, codec->sample_rate, timeBase.num, timeBase.den,
                             codec->format),
                  std::tuple(AVMEDIA_TYPE_AUDIO, c.expectedCodec, c.expectedRate, 1, c.expectedRate,
                             static_cast<int>(c.expectedFormat)));
        EXPECT_EQ(output.NeedsResampling(), c.resampling);
        // The rest of the description is carried over, copied or not.
        EXPECT_EQ(std::tuple(output.GetAvStream()->index, codec->ch_layout.nb_channels, codec->block_align,
                             codec->codec_tag, output.HasAdtsHeaders()),
                  std::tuple(3, 2, 4, 0u, false));
        EXPECT_EQ(Extradata(codec), extra);
    }

    auto adts = AudioRecord(Audio::Aac, 8000, kAdts);
    const Mpeg::StreamAudio input(1, m_input, adts);
    const Mpeg::StreamAudio output(Output("mp4"), input);
    EXPECT_TRUE(output.HasAdtsHeaders());
    EXPECT_EQ(output.GetCodecParameters()->frame_size, 1024);
}
