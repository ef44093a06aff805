// The output context: file names, refused containers, owned packets.

#include "mux/FormatContext.h"
#include "mux/Utf16.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

namespace
{
namespace fs = std::filesystem;
using TestMedia::AvError;
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
    TestMedia::Bytes bytes = {1, 2, 3, 4, 5};
    const auto owned = Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
    // Reference-counted, and decoders may read the zeroed padding past the end.
    ASSERT_NE(owned->packet.buf, nullptr);
    EXPECT_EQ(owned->packet.size, 5);
    bytes.resize(5 + AV_INPUT_BUFFER_PADDING_SIZE);
    EXPECT_EQ(TestMedia::Bytes(owned->packet.data, owned->packet.data + bytes.size()), bytes);
    EXPECT_EQ(Thrown([&] { Mpeg::OwnedPacket::CopyOf(bytes.data(), static_cast<std::size_t>(INT_MAX)); }),
              AvError(AVERROR(EINVAL), "::av_new_packet"));
}

// Nothing exists on disk until the file is opened, and a name outside the basic
// plane reaches the disk as UTF-8.
TEST(FormatContextOutput, NamesTheFileAsTheHostDid)
{
    TestMedia::TempDir dir;
    EXPECT_EQ(Mpeg::FormatContextOutput(Wide(dir / "a.mov")).GetAvFormatContext()->oformat->name, std::string("mov"));
    EXPECT_EQ(Thrown([&] { Mpeg::FormatContextOutput(Wide(dir / "a.unknownextension")); }),
              AvError(AVERROR(EINVAL), "::avformat_alloc_output_context2"));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
    // U+00E9, U+20AC, U+1F600 and U+10348 (two-, three- and four-byte UTF-8), opened as a host opens a file.
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    facade->StartInitMediaFile(Wide(dir.Path()) + Units({'/', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xD800, 0xDF48}) + L".mov");
    facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 64, 48));
    facade->FinishInitMediaFile();
    EXPECT_TRUE(fs::exists(dir / "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF0\x90\x8D\x88.mov"));
}

// What each codec becomes in MP4 and MOV is checked on written files; a host may still name another container.
TEST(CodecTables, OtherContainersAreRefused)
{
    TestMedia::TempDir dir;
    const Mpeg::FormatContextOutput mkv(Wide(dir / "a.mkv"));
    EXPECT_EQ(Thrown([&] { mkv.GetOutputCodecId(AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC); }),
              "out_of_range: containerType 'matroska' not found in supported codecs map.");
    EXPECT_EQ(Thrown([&] { mkv.GetPreferredCodecId(AVMEDIA_TYPE_AUDIO); }),
              "out_of_range: containerType 'matroska' passed to FormatContextOutput::GetPreferredCodecId is not "
              "supported.");
}
