// The output context on its own: file names, codec choice per container,
// owned packets.

#include "container/FormatContext.h"
#include "container/Utf16.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <tuple>

namespace
{
namespace fs = std::filesystem;
using TestMedia::StrError;
using TestMedia::Thrown;
using TestMedia::Wide;

std::wstring Units(std::initializer_list<std::uint32_t> units)
{
    std::wstring text;
    for (const auto unit : units)
        text += static_cast<wchar_t>(unit);
    return text;
}
} // namespace

TEST(Utf16ToUtf8, EncodesUtf16AndWholeCodePointsAndRejectsTheRest)
{
    const std::pair<std::wstring, std::string> valid[] = {
        {L"", ""},
        {Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}), "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        // Surrogate pairs, as a UTF-16 host sends them.
        {Units({0xD83D, 0xDE00, 0xD800, 0xDC00, 0xDBFF, 0xDFFF}), "\xF0\x9F\x98\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        // Whole code points, as L"..." literals hold them where wchar_t is 32 bits.
        {Units({0x10000, 0x1F600, 0x10FFFF}), "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
    };
    for (const auto& [input, expected] : valid)
        EXPECT_EQ(Mpeg::Utf16ToUtf8(input), expected) << expected;

    const std::pair<const char*, std::wstring> invalid[] = {
        {"high surrogate before an ordinary character", Units({0xD83D, 'a'})},
        {"two high surrogates", Units({'a', 0xD83D, 0xD83D, 0xDE00})},
        {"trailing high surrogate", Units({'a', 0xD83D})},
        {"lone low surrogate", Units({'a', 0xDE00})},
        {"beyond U+10FFFF", Units({0x110000})},
        {"negative wchar_t", std::wstring(1, static_cast<wchar_t>(-1))},
    };
    for (const auto& [what, input] : invalid)
        EXPECT_EQ(Thrown([&, &input = input] { Mpeg::Utf16ToUtf8(input); }), "range_error: bad conversion") << what;
}

TEST(OwnedPacket, OwnsAPaddedCopyAndRefusesSizesBeyondAnInt)
{
    const TestMedia::Bytes bytes = {1, 2, 3, 4, 5};
    const auto owned = Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
    const AVPacket& packet = owned->packet;
    ASSERT_NE(packet.buf, nullptr) << "the payload is reference-counted";
    EXPECT_EQ(TestMedia::Bytes(packet.data, packet.data + packet.size), bytes);
    // Decoders may read this far past the end.
    EXPECT_EQ(TestMedia::Bytes(packet.data + 5, packet.data + 5 + AV_INPUT_BUFFER_PADDING_SIZE),
              TestMedia::Bytes(AV_INPUT_BUFFER_PADDING_SIZE, 0));
    EXPECT_EQ(packet.pts, AV_NOPTS_VALUE);
    EXPECT_EQ(Thrown([&] { Mpeg::OwnedPacket::CopyOf(bytes.data(), static_cast<std::size_t>(INT_MAX)); }),
              "AvException 22: FfMpegFacade: ::av_new_packet: " + StrError(AVERROR(EINVAL)));
}

// The muxer follows the extension; nothing exists on disk until the file is
// opened, and a name outside the basic plane reaches the disk as UTF-8.
TEST(FormatContextOutput, NamesTheFileAsTheHostDid)
{
    TestMedia::TempDir dir;
    for (const char* muxer : {"mp4", "mov"})
    {
        const Mpeg::FormatContextOutput output(Wide(dir / (std::string("a.") + muxer)));
        EXPECT_STREQ(output.GetAvFormatContext()->oformat->name, muxer);
        EXPECT_EQ(output.CurrentPosition(), 0);
    }
    for (const char* file : {"a.unknownextension", "no_extension"})
        EXPECT_EQ(Thrown([&] { Mpeg::FormatContextOutput output(Wide(dir / file)); }),
                  "AvException 22: FfMpegFacade: ::avformat_alloc_output_context2: " + StrError(AVERROR(EINVAL)));
    EXPECT_EQ(Thrown([&] { Mpeg::FormatContextOutput(Wide(dir.Path()) + Units({'/', 0xD83D, 'a'}) + L".mp4"); }),
              "range_error: bad conversion");
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    // U+00E9, U+20AC, U+1F600 and U+10348 (two-, three- and four-byte UTF-8).
    Mpeg::FormatContextOutput output(Wide(dir.Path()) + Units({'/', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xD800, 0xDF48}) +
                                     L".mov");
    AVStream* stream = avformat_new_stream(output.GetAvFormatContext(), nullptr);
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    stream->codecpar->width = 64;
    stream->codecpar->height = 48;
    stream->time_base = AVRational{1, 25};
    output.OpenAndWriteHeader();
    EXPECT_TRUE(fs::exists(dir / "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF0\x90\x8D\x88.mov"));
}

// Each container keeps the codecs it carries and takes its preferred codec
// for the rest; video and audio tables never stand in for each other.
TEST(CodecTables, SourceCodecIsKeptOrReplacedByThePreferredOne)
{
    TestMedia::TempDir dir;
    const Mpeg::FormatContextOutput mp4(Wide(dir / "a.mp4")), mov(Wide(dir / "a.mov")), mkv(Wide(dir / "a.mkv"));
    // Media type, source codec, what MP4 and MOV carry.
    const std::tuple<int, AVCodecID, AVCodecID, AVCodecID> cases[] = {
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, AV_CODEC_ID_H264, AV_CODEC_ID_H264},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H263, AV_CODEC_ID_MPEG4, AV_CODEC_ID_H263},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_TSCC2, AV_CODEC_ID_TSCC2, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_Y41P, AV_CODEC_ID_MPEG4, AV_CODEC_ID_Y41P},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_AAC, AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG4},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2, AV_CODEC_ID_MP2, AV_CODEC_ID_MP2},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_MULAW},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_ALAW, AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_ALAW},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_VORBIS, AV_CODEC_ID_VORBIS, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_ADPCM_G726, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_H264, AV_CODEC_ID_AAC, AV_CODEC_ID_ADPCM_MS},
    };
    for (const auto& [mediaType, source, intoMp4, intoMov] : cases)
    {
        SCOPED_TRACE(std::string(avcodec_get_name(source)) + " as media type " + std::to_string(mediaType));
        EXPECT_EQ(mp4.GetOutputCodecId(mediaType, source), intoMp4);
        EXPECT_EQ(mov.GetOutputCodecId(mediaType, source), intoMov);
    }

    EXPECT_EQ(Thrown([&] { mp4.GetOutputCodecId(2, AV_CODEC_ID_NONE); }),
              "out_of_range: mediaType '2' passed to FormatContextOutput::GetSupportedCodecsMap is not supported.");
    EXPECT_EQ(Thrown([&] { mkv.GetOutputCodecId(AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC); }),
              "out_of_range: containerType 'matroska' not found in supported codecs map.");
    EXPECT_EQ(Thrown([&] { mkv.GetPreferredCodecId(AVMEDIA_TYPE_AUDIO); }),
              "out_of_range: containerType 'matroska' passed to FormatContextOutput::GetPreferredCodecId is not "
              "supported.");
}
