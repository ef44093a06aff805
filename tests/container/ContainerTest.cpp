// The output context on its own: file names, refused containers, owned packets, gap filling.

#include "container/FormatContext.h"
#include "container/Utf16.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

namespace
{
namespace fs = std::filesystem;
using TestMedia::StrError;
using TestMedia::Thrown;
using TestMedia::Wide;

using Ticks = std::vector<std::int64_t>;

std::wstring Units(std::initializer_list<std::uint32_t> units)
{
    std::wstring text;
    for (const auto unit : units)
        text += static_cast<wchar_t>(unit);
    return text;
}

std::unique_ptr<Mpeg::OwnedPacket> Packet(int stream, std::int64_t pts, const TestMedia::Bytes& data)
{
    auto packet = Mpeg::OwnedPacket::CopyOf(data.data(), data.size());
    packet->packet.stream_index = stream;
    packet->packet.pts = packet->packet.dts = pts;
    return packet;
}

// A video stream (1/25) and an audio stream (1/8000), then the header, as the facade does.
void Open(Mpeg::FormatContextOutput& output)
{
    AVStream* video = avformat_new_stream(output.GetAvFormatContext(), nullptr);
    video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    video->codecpar->width = 64;
    video->codecpar->height = 48;
    video->time_base = AVRational{1, 25};
    AVStream* audio = avformat_new_stream(output.GetAvFormatContext(), nullptr);
    audio->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    audio->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
    audio->codecpar->sample_rate = 8000;
    av_channel_layout_default(&audio->codecpar->ch_layout, 1);
    audio->time_base = AVRational{1, 8000};
    output.OpenAndWriteHeader();
    output.m_videoTimeBase = video->time_base;
    output.m_audioTimeBase = audio->time_base;
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
              "AvException 22: FfMpegFacade: ::av_new_packet: " + StrError(AVERROR(EINVAL)));
}

// Nothing exists on disk until the file is opened, and a name outside the basic
// plane reaches the disk as UTF-8.
TEST(FormatContextOutput, NamesTheFileAsTheHostDid)
{
    TestMedia::TempDir dir;
    EXPECT_EQ(Mpeg::FormatContextOutput(Wide(dir / "a.mov")).GetAvFormatContext()->oformat->name, std::string("mov"));
    EXPECT_EQ(Thrown([&] { Mpeg::FormatContextOutput(Wide(dir / "a.unknownextension")); }),
              "AvException 22: FfMpegFacade: ::avformat_alloc_output_context2: " + StrError(AVERROR(EINVAL)));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
    // U+00E9, U+20AC, U+1F600 and U+10348 (two-, three- and four-byte UTF-8).
    Mpeg::FormatContextOutput output(Wide(dir.Path()) + Units({'/', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xD800, 0xDF48}) +
                                     L".mov");
    Open(output);
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

// Fillers go in whole steps from the first video packet, above what audio covers,
// short of the next audio packet (PCM silence cut to end at it); a gap beyond the
// video or past a video clock jump stays. NUT keeps timestamps as given; video pts 1 is audio tick 320.
TEST(WriteSynchronized, FillsAudioGapsAgainstTheVideo)
{
    const std::int64_t margin = Mpeg::kFillBeyondVideoSeconds * 8000;
    const std::int64_t jump = Mpeg::kVideoClockJumpSeconds * 25 + 1;
    const TestMedia::Bytes real = {0xAA, 0xBB};
    struct Call
    {
        Ticks video, audio;
        std::int64_t audioDuration = 0;
    };
    struct Case
    {
        const char* name;
        std::vector<Call> calls;
        Ticks fillers;
        std::int64_t step = 1024; // one AAC frame
        bool divisible = false;
    };
    const Case cases[] = {
        // t0 = 0 is not above the initial last timestamp 0.
        {"five steps from zero", {{{0, 16}, {5120}}}, {1024, 2048, 3072}},
        {"audio before the video", {{{10, 11}, {3000, 4024}}}, {}},
        {"exactly one step", {{{1}, {320 + 1024}}}, {}},
        {"one step and a tick", {{{1}, {320 + 1024 + 1}}}, {320}},
        {"no audio: up to the last picture", {{{1, 5, 10}, {}}}, {320, 1344}},
        {"later calls do not refill", {{{1, 2}, {5000}}, {{10, 11}, {6000}}}, {320, 1344, 2368, 3392}},
        {"not inside the last audio packet", {{{1, 2}, {320}, 1024}, {{4, 5}, {5000}}}, {2304, 3328}},
        {"PCM cut at the audio", {{{1}, {720}}}, {320, 480, 640}, 160, true},
        {"the same whole", {{{1}, {720}}}, {320, 480}, 160, false},
        {"audio within the margin", {{{1, 2}, {640 + margin}}}, {320}, margin - 320},
        {"audio beyond the margin", {{{1, 2}, {640 + margin + 1}}}, {}, 320},
        {"video clock jump", {{{1, 20, 20 + jump}, {}}}, {320, 1344, 2368, 3392, 4416}},
        {"no silence packet", {{{1, 2}, {5000}}}, {}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TestMedia::TempDir dir;
        Mpeg::FormatContextOutput output(Wide(dir / "w.nut"));
        Open(output);
        if (c.step > 0)
            output.m_silencePacket = Packet(1, 0, TestMedia::Bytes(static_cast<std::size_t>(2 * c.step), 0));
        output.m_silenceDuration = c.step;
        output.m_silenceDivisible = c.divisible;
        Ticks expectedReal;
        for (const Call& call : c.calls)
        {
            Mpeg::PacketSequence video, audio;
            for (std::int64_t pts : call.video)
                video.push_back(Packet(0, av_rescale_q(pts, AVRational{1, 25}, output.m_videoTimeBase), {0xFF, 0xD8}));
            for (std::int64_t pts : call.audio)
                (audio.emplace_back(Packet(1, pts, real)))->packet.duration = call.audioDuration;
            output.WriteSynchronized(std::move(video), std::move(audio));
            expectedReal.insert(expectedReal.end(), call.audio.begin(), call.audio.end());
        }
        output.WriteTrailer();
        Ticks fillers, written;
        for (const auto& packet : TestMedia::Read(dir / "w.nut").packets)
            if (packet.streamIndex == 1)
                (packet.data == real ? written : fillers).push_back(packet.pts);
        EXPECT_EQ(fillers, c.fillers);
        EXPECT_EQ(written, expectedReal);
    }
}
