#include "container/FormatContext.h"
#include "errors/AvResult.h"
#include "streams/Stream.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;
using Audio = Mpeg::CodecIdAudio;
using Video = Mpeg::CodecIdVideo;

namespace
{
// The kind of exception `call` throws, and its text.
std::string ThrownBy(const std::function<void()>& call)
{
    try
    {
        call();
    }
    catch (const Mpeg::AvException& error)
    {
        return "AvException " + std::to_string(error.GetErrorCode()) + ": " + error.what();
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

std::string StrError(int code)
{
    char text[255] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

Mpeg::StreamParametersVideo VideoRecord(Video codec, std::vector<std::uint8_t> extraData = {})
{
    Mpeg::StreamParametersVideo record;
    record.timeScale = 90000;
    record.codecId = codec;
    record.width = 320;
    record.height = 240;
    record.codecConfiguration.extraData = std::move(extraData);
    return record;
}

Mpeg::StreamParametersAudio AudioRecord(Audio codec, int rate, std::vector<std::uint8_t> header = {})
{
    Mpeg::StreamParametersAudio record;
    record.timeScale = rate;
    record.codecId = codec;
    record.firstPacketHeader = std::move(header);
    return record;
}

std::vector<std::uint8_t> Extradata(const AVCodecParameters* codec)
{
    return std::vector<std::uint8_t>(codec->extradata, codec->extradata + codec->extradata_size);
}

// The leading bytes of the first packet of a real ADTS-framed AAC stream.
std::vector<std::uint8_t> RealAdtsHeader()
{
    const auto tone = TestMedia::EncodeTone("aac", 8000, 0.3, 440.0, true);
    return std::vector<std::uint8_t>(tone.packets.at(0).begin(), tone.packets.at(0).begin() + 8);
}

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

TEST_F(Streams, VideoInputDescribesTheDeclaredStream)
{
    const std::tuple<Video, AVCodecID, AVPixelFormat> cases[] = {
        {Video::None, AV_CODEC_ID_NONE, AV_PIX_FMT_RGB24},    {Video::Mjpeg, AV_CODEC_ID_MJPEG, AV_PIX_FMT_RGB24},
        {Video::Mpeg4, AV_CODEC_ID_MPEG4, AV_PIX_FMT_YUV420P}, {Video::H263, AV_CODEC_ID_H263, AV_PIX_FMT_YUV420P},
        {Video::Bmp, AV_CODEC_ID_BMP, AV_PIX_FMT_YUV420P},     {Video::H264, AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P},
        {Video::H265, AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P},
    };
    const std::vector<std::uint8_t> extra = {0, 0, 0, 1, 0x67, 0x42};
    for (const auto& [declared, id, format] : cases)
    {
        auto record = VideoRecord(declared, extra);
        const Mpeg::StreamVideo stream(4, m_input, record);
        const AVStream* av = stream.GetAvStream();
        const AVCodecParameters* codec = av->codecpar;
        const std::string what = avcodec_get_name(id);
        EXPECT_EQ(av->index, 4) << what;
        EXPECT_EQ(av_cmp_q(av->time_base, AVRational{1, 90000}), 0) << what;
        EXPECT_EQ(codec->codec_type, AVMEDIA_TYPE_VIDEO) << what;
        EXPECT_EQ(codec->codec_id, id) << what;
        EXPECT_EQ(codec->format, format) << what;
        EXPECT_EQ(codec->width, 320) << what;
        EXPECT_EQ(codec->height, 240) << what;
        EXPECT_EQ(Extradata(codec), extra) << what;
    }
    auto record = VideoRecord(Video::Mpeg4);
    EXPECT_EQ(Mpeg::StreamVideo(0, m_input, record).GetCodecParameters()->extradata, nullptr);
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
            const std::string what = std::string(avcodec_get_name(id)) + " channels " + std::to_string(channels);
            EXPECT_EQ(av_cmp_q(stream.GetAvStream()->time_base, AVRational{1, 16000}), 0) << what;
            EXPECT_EQ(codec->codec_type, AVMEDIA_TYPE_AUDIO) << what;
            EXPECT_EQ(codec->codec_id, id) << what;
            EXPECT_EQ(codec->sample_rate, 16000) << what;
            EXPECT_EQ(codec->format, format) << what;
            EXPECT_EQ(codec->block_align, 3) << what;
            EXPECT_EQ(codec->ch_layout.nb_channels, channels) << what;
            // Declared mono; another count keeps the count in unspecified order.
            if (channels == 1)
            {
                EXPECT_EQ(codec->ch_layout.u.mask, AV_CH_LAYOUT_MONO) << what;
            }
            else
            {
                EXPECT_EQ(codec->ch_layout.order, AV_CHANNEL_ORDER_UNSPEC) << what;
            }
        }
}

TEST_F(Streams, InputRecordsAreRefusedInTheirCheckingOrder)
{
    auto video = [this](std::int32_t mediaType, std::int32_t codec) {
        return [=] {
            auto record = VideoRecord(static_cast<Video>(codec));
            record.codecConfiguration.mediaType = static_cast<Mpeg::MediaType>(mediaType);
            Mpeg::StreamVideo stream(0, m_input, record);
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
    const std::string badMediaType = "out_of_range: mediaType '2' of the passed to Stream::Map2Av is not supported.";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {video(2, -1), badMediaType},
        {video(0, -1), "invalid_argument: CodecIdVideo value passed to StreamVideo::Map2Av can not be undefined (-1)"},
        {video(0, 5), "invalid_argument: CodecIdVideo value 5 passed to StreamVideo::Map2Av is unsupported by FFmpeg"},
        {video(0, 8), "out_of_range: Unknown CodecIdVideo 8 is passed to StreamVideo::Map2Av"},
        {audio(2, -1, -1), badMediaType},
        {audio(1, -1, -1), "invalid_argument: CodecIdAudio value passed to StreamAudio::Map2Av can not be undefined (-1)"},
        {audio(1, 0, -1), "invalid_argument: channelLayout value passed to StreamAudio::Map2Av can not be undefined (-1)"},
        {audio(1, 0, 1), "out_of_range: Unknown ChannelLayout 1 is passed to StreamAudio::Map2Av."},
        // None passes the mapping; the encoder lookup refuses it.
        {audio(1, 0, 0), "AvException " + std::to_string(MKTAG('E', 'X', 'I', 'T')) +
                             ": FfMpegFacade: Codec id '0' not found.: " + StrError(AVERROR_EXIT)},
    };
    for (const auto& [build, expected] : cases)
        EXPECT_EQ(ThrownBy(build), expected);
}

TEST_F(Streams, AdtsProbe)
{
    const std::vector<std::uint8_t> adts = RealAdtsHeader();
    ASSERT_EQ(adts[6] & 3, 0) << "one raw data block";
    auto withBlocks = [&](int blocksMinusOne) {
        auto header = adts;
        header[6] = static_cast<std::uint8_t>(header[6] | blocksMinusOne);
        return header;
    };
    struct Case
    {
        const char* what;
        Audio codec;
        std::vector<std::uint8_t> header;
        bool hasAdts;
        int frameSize;
    };
    const Case cases[] = {
        {"one block", Audio::Aac, adts, true, 1024},
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
        {Video::H264, AV_CODEC_ID_H264, "mov", AV_CODEC_ID_H264},
        {Video::H265, AV_CODEC_ID_HEVC, "mp4", AV_CODEC_ID_HEVC},
        {Video::Mjpeg, AV_CODEC_ID_MJPEG, "mp4", AV_CODEC_ID_MJPEG},
        {Video::H263, AV_CODEC_ID_H263, "mp4", AV_CODEC_ID_MPEG4},
        {Video::H263, AV_CODEC_ID_H263, "mov", AV_CODEC_ID_H263},
        {Video::Bmp, AV_CODEC_ID_BMP, "mov", AV_CODEC_ID_MPEG4},
        // No enumerator declares MPEG-2 video; the input stream is retagged instead.
        {Video::Mpeg4, AV_CODEC_ID_MPEG2VIDEO, "mp4", AV_CODEC_ID_MPEG2VIDEO},
        {Video::Mpeg4, AV_CODEC_ID_MPEG2VIDEO, "mov", AV_CODEC_ID_MPEG2VIDEO},
    };
    const std::vector<std::uint8_t> extra = {1, 2, 3, 4, 5};
    for (const auto& [declared, actual, container, expected] : cases)
    {
        auto record = VideoRecord(declared, extra);
        Mpeg::StreamVideo input(2, m_input, record);
        AVCodecParameters* source = input.GetCodecParameters();
        source->codec_id = actual;
        source->codec_tag = MKTAG('X', 'Y', 'Z', 'W');
        source->sample_aspect_ratio = AVRational{4, 3};
        const Mpeg::StreamVideo output(Output(container), input);

        const AVStream* av = output.GetAvStream();
        const AVCodecParameters* codec = av->codecpar;
        const bool copied = expected == actual;
        const std::string what = std::string(avcodec_get_name(actual)) + " into " + container;
        EXPECT_EQ(codec->codec_id, expected) << what;
        EXPECT_EQ(av->index, 2) << what;
        EXPECT_EQ(av_cmp_q(av->time_base, AVRational{1, 90000}), 0) << what;
        EXPECT_EQ(codec->codec_tag, 0u) << what;
        // A copy takes every parameter; otherwise only the codec is chosen here.
        EXPECT_EQ(codec->width, copied ? 320 : 0) << what;
        EXPECT_EQ(Extradata(codec), copied ? extra : std::vector<std::uint8_t>{}) << what;
        EXPECT_EQ(av_cmp_q(av->sample_aspect_ratio, copied ? AVRational{4, 3} : AVRational{0, 1}), 0) << what;
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
        {Audio::PcmAlaw, 16000, "mov", AV_CODEC_ID_PCM_ALAW, 16000, AV_SAMPLE_FMT_S16, false},
        // A rate the AAC encoder does not list: its first listed rate.
        {Audio::PcmMulaw, 11000, "mp4", AV_CODEC_ID_AAC, 96000, AV_SAMPLE_FMT_FLTP, true},
        {Audio::PcmS16be, 44100, "mov", AV_CODEC_ID_PCM_S16BE, 44100, AV_SAMPLE_FMT_S16, false},
        // G.726 into MOV becomes ADPCM MS, whose encoder lists no rates: 8000 Hz.
        {Audio::G726, 8000, "mov", AV_CODEC_ID_ADPCM_MS, 8000, AV_SAMPLE_FMT_S16, false},
        {Audio::G726, 16000, "mov", AV_CODEC_ID_ADPCM_MS, 8000, AV_SAMPLE_FMT_S16, true},
        {Audio::G726le, 8000, "mov", AV_CODEC_ID_ADPCM_MS, 8000, AV_SAMPLE_FMT_S16, false},
        {Audio::G726le, 8000, "mp4", AV_CODEC_ID_AAC, 8000, AV_SAMPLE_FMT_FLTP, true},
        {Audio::Mp2, 48000, "mp4", AV_CODEC_ID_MP2, 48000, AV_SAMPLE_FMT_S16, false},
        {Audio::Aac, 22050, "mov", AV_CODEC_ID_AAC, 22050, AV_SAMPLE_FMT_FLTP, false},
    };
    const std::vector<std::uint8_t> extra = {0x11, 0x90, 0x56, 0xE5, 0x00};
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
        const std::string what = std::string(avcodec_get_name(input.GetCodecParameters()->codec_id)) + " at " +
                                 std::to_string(c.rate) + " into " + c.container;
        EXPECT_EQ(codec->codec_id, c.expectedCodec) << what;
        EXPECT_EQ(codec->sample_rate, c.expectedRate) << what;
        EXPECT_EQ(av_cmp_q(output.GetAvStream()->time_base, AVRational{1, c.expectedRate}), 0) << what;
        EXPECT_EQ(codec->format, c.expectedFormat) << what;
        EXPECT_EQ(output.NeedsResampling(), c.resampling) << what;
        // The rest of the description is carried over, copied or not.
        EXPECT_EQ(output.GetAvStream()->index, 3) << what;
        EXPECT_EQ(codec->ch_layout.nb_channels, 2) << what;
        EXPECT_EQ(codec->block_align, 4) << what;
        EXPECT_EQ(Extradata(codec), extra) << what;
        EXPECT_EQ(codec->codec_tag, 0u) << what;
        EXPECT_FALSE(output.HasAdtsHeaders()) << what;
    }

    auto adts = AudioRecord(Audio::Aac, 8000, RealAdtsHeader());
    const Mpeg::StreamAudio input(1, m_input, adts);
    const Mpeg::StreamAudio output(Output("mp4"), input);
    EXPECT_TRUE(output.HasAdtsHeaders());
    EXPECT_EQ(output.GetCodecParameters()->frame_size, 1024);
}

namespace
{
// Opens the file, writes `packets` through `stream` (the only stream of
// `output`), `step` ticks of `inputTimeBase` apart, and finishes the file.
void WriteAll(Mpeg::FormatContextOutput& output, const Mpeg::Stream& stream, AVRational inputTimeBase,
              const std::vector<std::vector<std::uint8_t>>& packets, std::int64_t step)
{
    AVFormatContext* context = output.GetAvFormatContext();
    Mpeg::CheckAvResult(avio_open(&context->pb, context->url, AVIO_FLAG_WRITE), "::avio_open");
    Mpeg::CheckAvResult(avformat_write_header(context, nullptr), "::avformat_write_header");
    const AVRational timeBase = stream.GetAvStream()->time_base;
    for (std::size_t i = 0; i < packets.size(); ++i)
    {
        auto owned = Mpeg::OwnedPacket::CopyOf(packets[i].data(), packets[i].size());
        owned->packet.pts = owned->packet.dts = av_rescale_q(static_cast<std::int64_t>(i) * step, inputTimeBase, timeBase);
        owned->packet.duration = av_rescale_q(step, inputTimeBase, timeBase);
        owned->packet.flags = i == 0 ? AV_PKT_FLAG_KEY : 0;
        output.WritePacket(owned->packet);
    }
    Mpeg::CheckAvResult(av_interleaved_write_frame(context, nullptr), "::av_interleaved_write_frame");
    Mpeg::CheckAvResult(av_write_trailer(context), "::av_write_trailer");
}
} // namespace

TEST_F(Streams, CopiedMulawMuxesIntoMov)
{
    const auto tone = TestMedia::EncodeTone("pcm_mulaw", 8000, 0.5);
    const auto path = m_dir / "mulaw.mov";
    {
        auto record = AudioRecord(Audio::PcmMulaw, 8000);
        const Mpeg::StreamAudio input(0, m_input, record);
        Mpeg::FormatContextOutput output(TestMedia::Wide(path));
        const Mpeg::StreamAudio stream(output, input);
        WriteAll(output, stream, AVRational{1, 8000}, tone.packets, tone.frameSize);
    }
    const auto file = TestMedia::Read(path);
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_PCM_MULAW);
    EXPECT_EQ(file.streams[0].sampleRate, 8000);
    EXPECT_EQ(file.streams[0].channels, 1);
    // The demuxer regroups PCM samples, so compare the byte streams.
    std::vector<std::uint8_t> written, read;
    for (const auto& packet : tone.packets)
        written.insert(written.end(), packet.begin(), packet.end());
    for (const auto& packet : file.packets)
        read.insert(read.end(), packet.data.begin(), packet.data.end());
    EXPECT_EQ(read, written);
}

TEST_F(Streams, CopiedVideoGetsTheContainersOwnTag)
{
    if (!TestMedia::HasEncoder("libx264"))
        GTEST_SKIP() << "no H.264 encoder in this FFmpeg build";
    const auto media = TestMedia::EncodeVideo("libx264", 160, 96, 8, 25, 12, true);
    for (const char* container : {"mp4", "mov"})
    {
        const auto path = m_dir / (std::string("h264.") + container);
        {
            auto record = VideoRecord(Video::H264, media.extradata);
            record.timeScale = 25;
            record.width = 160;
            record.height = 96;
            Mpeg::StreamVideo input(0, m_input, record);
            // A tag from elsewhere would make the muxer refuse the header.
            input.GetCodecParameters()->codec_tag = MKTAG('H', '2', '6', '4');
            Mpeg::FormatContextOutput output(TestMedia::Wide(path));
            const Mpeg::StreamVideo stream(output, input);
            ASSERT_NO_THROW(WriteAll(output, stream, AVRational{1, 25}, media.packets, 1)) << container;
        }
        const auto file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), 1u) << container;
        EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_H264) << container;
        EXPECT_EQ(TestMedia::DecodeFrameCount(path, 0), 8) << container;
    }
}
