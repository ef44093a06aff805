#include "container/FormatContext.h"
#include "errors/AvResult.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

namespace
{
std::string StrError(int code)
{
    char text[255] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

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

namespace
{
// Adds an MPEG-4 video stream at 25 fps and writes the header.
AVStream* OpenWithVideoStream(Mpeg::FormatContextOutput& output, const TestMedia::EncodedStream& media)
{
    AVFormatContext* context = output.GetAvFormatContext();
    AVStream* stream = avformat_new_stream(context, nullptr);
    stream->time_base = AVRational{1, 25};
    AVCodecParameters* codec = stream->codecpar;
    codec->codec_type = AVMEDIA_TYPE_VIDEO;
    codec->codec_id = AV_CODEC_ID_MPEG4;
    codec->width = media.width;
    codec->height = media.height;
    codec->format = AV_PIX_FMT_YUV420P;
    codec->extradata = static_cast<std::uint8_t*>(av_mallocz(media.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(media.extradata.begin(), media.extradata.end(), codec->extradata);
    codec->extradata_size = static_cast<int>(media.extradata.size());
    Mpeg::CheckAvResult(avio_open(&context->pb, context->url, AVIO_FLAG_WRITE), "::avio_open");
    Mpeg::CheckAvResult(avformat_write_header(context, nullptr), "::avformat_write_header");
    return stream;
}
} // namespace

TEST(FormatContextOutput, MuxerFollowsTheExtensionAndMembersStartEmpty)
{
    TestMedia::TempDir dir;
    for (const char* muxer : {"mp4", "mov"})
    {
        const std::string name = std::string("a.") + muxer;
        const Mpeg::FormatContextOutput output(TestMedia::Wide(dir / name));
        ASSERT_NE(output.GetAvFormatContext(), nullptr);
        EXPECT_STREQ(output.GetAvFormatContext()->oformat->name, muxer);
        EXPECT_EQ(output.GetAvFormatContext()->url, (dir / name).string());
        EXPECT_EQ(output.m_silencePacket, nullptr);
        EXPECT_EQ(output.m_silenceDuration, 0);
        EXPECT_EQ(output.m_lastAudioTimestamp, 0);
        EXPECT_EQ(output.m_videoTimeBase.num, 0);
        EXPECT_EQ(output.m_videoTimeBase.den, 1);
        EXPECT_EQ(output.m_audioTimeBase.num, 0);
        EXPECT_EQ(output.m_audioTimeBase.den, 1);
        EXPECT_EQ(output.CurrentPosition(), 0);
    }
    // Nothing is created until the file is opened; destruction frees the unopened contexts.
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(FormatContextOutput, UnknownExtensionNamesTheAllocatingCall)
{
    TestMedia::TempDir dir;
    for (const char* file : {"a.unknownextension", "no_extension"})
    {
        try
        {
            Mpeg::FormatContextOutput output(TestMedia::Wide(dir / file));
            ADD_FAILURE() << "no exception for " << file;
        }
        catch (const Mpeg::AvException& error)
        {
            EXPECT_GT(error.GetErrorCode(), 0);
            EXPECT_EQ(error.what(), "FfMpegFacade: ::avformat_alloc_output_context2: " + StrError(-error.GetErrorCode()));
        }
    }
}

TEST(FormatContext, ContextsThatFFmpegDoesNotDeliverAreReported)
{
    EXPECT_NE(Mpeg::FormatContextInput().GetAvFormatContext(), nullptr);
    TestMedia::TempDir dir;
    std::string outputText = "none", inputText = "none";
    std::int32_t outputCode = 0, inputCode = 0;
    g_outputContextLeftUnset = true;
    try
    {
        Mpeg::FormatContextOutput output(TestMedia::Wide(dir / "a.mp4"));
    }
    catch (const Mpeg::AvException& error)
    {
        outputText = error.what();
        outputCode = error.GetErrorCode();
    }
    g_outputContextLeftUnset = false;
    g_allocContextYieldsNothing = true;
    try
    {
        Mpeg::FormatContextInput input;
    }
    catch (const Mpeg::AvException& error)
    {
        inputText = error.what();
        inputCode = error.GetErrorCode();
    }
    g_allocContextYieldsNothing = false;

    EXPECT_EQ(outputText, "FfMpegFacade: ::avformat_alloc_output_context2 did not set context pointer to the "
                          "\t\t\t\t\t\t\tcreated format context address despite returned succeeded return code: " +
                              StrError(AVERROR_UNKNOWN));
    EXPECT_EQ(outputCode, static_cast<std::int32_t>(MKTAG('U', 'N', 'K', 'N')));
    EXPECT_EQ(inputText, "FfMpegFacade: ::avformat_alloc_context did not returned format context pointer.: " +
                             StrError(12));
    EXPECT_EQ(inputCode, -12);
}

TEST(FormatContextOutput, FileNamesOutsideTheBasicPlaneReachTheDisk)
{
    TestMedia::TempDir dir;
    // U+00E9, U+20AC, U+1F600 and U+10348: two-, three- and four-byte sequences.
    const std::string utf8Name = "\xC3\xA9\xE2\x82\xAC-\xF0\x9F\x98\x80\xF0\x90\x8D\x88.mov";
    const std::wstring directory = TestMedia::Wide(dir.Path()) + L"/";
    auto unit = [](std::uint32_t value) { return static_cast<wchar_t>(value); };
    const std::pair<const char*, std::wstring> cases[] = {
        {"surrogate pairs",
         directory + std::wstring{unit(0xE9), unit(0x20AC), L'-', unit(0xD83D), unit(0xDE00), unit(0xD800), unit(0xDF48)} +
             L".mov"},
        {"whole code points", directory + L"\u00E9\u20AC-\U0001F600\U00010348.mov"},
    };
    for (const auto& [form, name] : cases)
    {
        {
            Mpeg::FormatContextOutput output(name);
            AVFormatContext* context = output.GetAvFormatContext();
            ASSERT_GE(avio_open(&context->pb, context->url, AVIO_FLAG_WRITE), 0) << form;
        }
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{utf8Name}) << form;
        std::filesystem::remove(dir / utf8Name);
    }
    // A broken name fails before any file exists.
    EXPECT_THROW(Mpeg::FormatContextOutput(directory + std::wstring{unit(0xD83D), L'a'} + L".mp4"), std::range_error);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(FormatContextOutput, WrittenFilesReadBackWithThePacketsWritten)
{
    TestMedia::TempDir dir;
    const auto media = TestMedia::EncodeVideo("mpeg4", 96, 64, 6, 25, 12, true);
    ASSERT_EQ(media.packets.size(), 6u);
    for (const char* name : {"clip.mp4", "clip.mov"})
    {
        const auto path = dir / name;
        std::int64_t position = 0;
        {
            Mpeg::FormatContextOutput output(TestMedia::Wide(path));
            const AVStream* stream = OpenWithVideoStream(output, media);
            EXPECT_GT(output.CurrentPosition(), 0) << name;
            for (std::size_t i = 0; i < media.packets.size(); ++i)
            {
                auto packet = Mpeg::OwnedPacket::CopyOf(media.packets[i].data(), media.packets[i].size());
                packet->packet.pts = packet->packet.dts =
                    av_rescale_q(static_cast<std::int64_t>(i), AVRational{1, 25}, stream->time_base);
                packet->packet.duration = av_rescale_q(1, AVRational{1, 25}, stream->time_base);
                packet->packet.flags = i == 0 ? AV_PKT_FLAG_KEY : 0;
                output.WritePacket(packet->packet);
            }
            AVFormatContext* context = output.GetAvFormatContext();
            ASSERT_GE(av_interleaved_write_frame(context, nullptr), 0);
            ASSERT_GE(av_write_trailer(context), 0);
            position = output.CurrentPosition();
        }
        // The position after the trailer is the size of the file, complete once the context is gone.
        EXPECT_EQ(position, static_cast<std::int64_t>(std::filesystem::file_size(path))) << name;
        const auto file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), 1u) << name;
        EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4) << name;
        ASSERT_EQ(file.packets.size(), media.packets.size()) << name;
        for (std::size_t i = 0; i < media.packets.size(); ++i)
            EXPECT_EQ(file.packets[i].data, media.packets[i]) << name << " packet " << i;
    }
}

TEST(FormatContextOutput, RefusedPacketNamesTheWritingCall)
{
    TestMedia::TempDir dir;
    Mpeg::FormatContextOutput output(TestMedia::Wide(dir / "a.mp4"));
    OpenWithVideoStream(output, TestMedia::EncodeVideo("mpeg4", 16, 16, 1, 25, 12, true));
    const std::uint8_t bytes[] = {0, 0, 1, 0xB6};
    auto packet = Mpeg::OwnedPacket::CopyOf(bytes, sizeof bytes);
    packet->packet.stream_index = 3; // no such stream
    packet->packet.pts = packet->packet.dts = 0;
    try
    {
        output.WritePacket(packet->packet);
        FAIL() << "no exception";
    }
    catch (const Mpeg::AvException& error)
    {
        EXPECT_GT(error.GetErrorCode(), 0);
        EXPECT_EQ(error.what(), "FfMpegFacade: ::av_interleaved_write_frame: " + StrError(-error.GetErrorCode()));
    }
}
