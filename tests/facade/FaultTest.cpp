// Faults a host meets unattended, on both facades: each reported once, by the
// documented call; the file before stays intact and the next one is written.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <mpegexporter/Journal.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace
{
namespace fs = std::filesystem;
using TestMedia::Bytes;
using TestMedia::Thrown;
constexpr std::uint64_t kFrame = 400000; // 40 ms

// Both transcoded into MP4; at 4CIF forty pictures outgrow the muxer's write
// buffer, so a failing write happens on the worker, not only at the trailer.
const TestMedia::EncodedStream& Video()
{
    static const auto video = TestMedia::EncodeVideo("h263", 704, 576, 60);
    return video;
}

const TestMedia::EncodedStream& Pcm()
{
    static const auto audio = TestMedia::EncodeTone("pcm_s16be", 8000, 2.4, 440);
    return audio;
}

std::string Av(int code, const std::string& call)
{
    return "AvException " + std::to_string(-code) + ": FfMpegFacade: " + call + ": " + TestMedia::StrError(code);
}

// `garbage` replaces the first video or audio packet of the second list.
void Add(Mpeg::IFfMpegFacade& facade, bool withAudio, std::size_t first, std::size_t count,
         const Bytes* videoGarbage = nullptr, const Bytes* audioGarbage = nullptr)
{
    TestMedia::EncodedStream video = Video();
    std::vector<Mpeg::MediaPacket> audio = TestMedia::TimedAudio(Pcm());
    if (videoGarbage)
        video.packets[first + 5] = *videoGarbage;
    if (audioGarbage)
        audio[2 * (first + 5)].data = *audioGarbage;
    TestMedia::AddInLists(facade, video, first, first + count, 5, withAudio ? &audio : nullptr);
}

// Opens `path`, or (with `split`) splits into it, and writes pictures [from, from + 20).
void Write(Mpeg::IFfMpegFacade& facade, bool withAudio, const fs::path& path, bool split = false, std::size_t from = 0)
{
    const std::uint64_t at = from * kFrame;
    if (split && withAudio)
        facade.SplitMediaFileAudioVideo(TestMedia::Wide(path), at, Mpeg::MediaPacket{Pcm().packets[2 * from], at});
    else if (split)
        facade.SplitMediaFileVideo(TestMedia::Wide(path), at);
    else
        TestMedia::Open(facade, path, TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video()),
                        withAudio ? TestMedia::AudioRecord(Mpeg::CodecIdAudio::PcmS16be, 8000) : nullptr);
    Add(facade, withAudio, from, 20);
}

// After a fault: a.mp4 is intact and the facade writes c.mp4, each whole.
void ExpectRecovered(Mpeg::IFfMpegFacade& facade, const TestMedia::TempDir& dir, bool withAudio)
{
    Write(facade, withAudio, dir / "c.mp4");
    EXPECT_GT(facade.FinishMediaFile(), 0);
    for (const char* name : {"a.mp4", "c.mp4"})
    {
        EXPECT_EQ(TestMedia::DecodeFrameCount(dir / name, 0), 20) << name;
        EXPECT_TRUE(!withAudio || TestMedia::DecodeFrameCount(dir / name, 1) > 0) << name;
    }
}
} // namespace

// A second file that cannot be opened, after a finished one or by a split:
// the half-made file is given up without a trace.
TEST(Faults, FilesThatCannotBeOpenedAreReportedByTheCallThatOpensThem)
{
    const std::tuple<const char*, const char*, const char*, std::string> faults[] = {
        {"lone surrogate", "b.mp4", "StartInitMediaFile", "range_error: bad conversion"},
        {"directory gone", "gone/b.mp4", "FinishInitMediaFile", Av(AVERROR(ENOENT), "::open")},
        // b.mp4 is /dev/full: the header goes to the file at once; the device takes none of it.
        {"full disk", "b.mp4", "FinishInitMediaFile", Av(AVERROR(ENOSPC), "::avformat_write_header")},
        // The MPEG-4 encoder takes pictures below 8192 on a side (a split reuses the record).
        {"picture size", "b.mp4", "InitStreamVideo", Av(AVERROR(EINVAL), "::avcodec_open2")},
        // Copied AAC still needs an encoder for the silence; it has no 11 kHz.
        {"audio encoder", "b.mp4", "InitStreamAudio", Av(AVERROR(EINVAL), "::avcodec_open2")},
    };
    for (const auto& [what, file, reporter, expected] : faults)
        for (const bool withAudio : {false, true})
            for (const bool split : {false, true})
            {
                const std::string fault = what;
                if ((split && fault == "picture size") || (fault == "audio encoder" && (split || !withAudio)))
                    continue;
                SCOPED_TRACE(fault + (withAudio ? ", audio/video" : ", video") + (split ? ", split" : ""));
                TestMedia::TempDir dir;
                auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
                Write(*facade, withAudio, dir / "a.mp4");
                if (fault == "full disk")
                    fs::create_symlink("/dev/full", dir / file);
                const std::wstring name = TestMedia::Wide(dir / file) + (fault == "lone surrogate" ? L"\xD800" : L"");
                std::string call = "split";
                const std::string thrown = Thrown([&] {
                    if (split && withAudio)
                        return static_cast<void>(facade->SplitMediaFileAudioVideo(name, 0, {Pcm().packets[0], 0}));
                    if (split)
                        return static_cast<void>(facade->SplitMediaFileVideo(name, 0));
                    facade->FinishMediaFile();
                    facade->StartInitMediaFile((call = "StartInitMediaFile", name));
                    call = "InitStreamVideo";
                    facade->InitStreamVideo(fault == "picture size"
                                                ? TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, 8192, 8192)
                                                : TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video()));
                    call = "InitStreamAudio";
                    if (withAudio)
                        facade->InitStreamAudio(fault == "audio encoder" ? TestMedia::AudioRecord(Mpeg::CodecIdAudio::Aac, 11000)
                                                                          : TestMedia::AudioRecord(Mpeg::CodecIdAudio::PcmS16be, 8000));
                    call = "FinishInitMediaFile";
                    facade->FinishInitMediaFile();
                });
                EXPECT_EQ(call, split ? "split" : reporter);
                EXPECT_EQ(thrown, expected);
                EXPECT_EQ(facade->FinishMediaFile(), 0);
                EXPECT_TRUE(!fs::exists(dir / "b.mp4") || fs::is_symlink(dir / "b.mp4"));
                ExpectRecovered(*facade, dir, withAudio);
            }
}

// Faults on the worker, in the second file of a split: whichever waiting call
// comes first reports the failure, once. A write that failed leaves a file
// that never gets its index: finishing fails again, keeps the recovery
// journal, and a second finish closes it.
TEST(Faults, WorkerFailuresAreReportedOnce)
{
    const Bytes videoGarbage(4096, 0xA5), audioGarbage{0x55}; // one byte: no 16-bit sample
    const std::tuple<const char*, std::function<void(Mpeg::IFfMpegFacade&, bool)>, std::string> faults[] = {
        {"file size limit",
         [](Mpeg::IFfMpegFacade& facade, bool withAudio) {
             TestMedia::FileSizeCap cap(16 * 1024);
             Add(facade, withAudio, 20, 40);
             facade.EstimateFileSize(0, 1);
         },
         Av(AVERROR(EFBIG), "::av_interleaved_write_frame")},
        // The H.263 decoder answers a damaged picture header with -1 (EPERM).
        {"video garbage", [&](Mpeg::IFfMpegFacade& f, bool a) { Add(f, a, 20, 20, &videoGarbage); },
         Av(AVERROR(EPERM), "::avcodec_send_packet")},
        {"audio garbage", [&](Mpeg::IFfMpegFacade& f, bool a) { Add(f, a, 20, 20, nullptr, &audioGarbage); },
         Av(AVERROR_INVALIDDATA, "::avcodec_send_packet")},
    };
    for (const auto& [fault, add, expected] : faults)
        for (const bool withAudio : {false, true})
        {
            if (std::string(fault) == "audio garbage" && !withAudio)
                continue;
            SCOPED_TRACE(std::string(fault) + (withAudio ? ", audio/video" : ", video"));
            TestMedia::TempDir dir;
            const fs::path second = dir / "b.mp4";
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            Write(*facade, withAudio, dir / "a.mp4");
            Write(*facade, withAudio, second, true, 20);
            std::vector<std::string> reports;
            for (const auto& call : std::vector<std::function<void()>>{[&] { add(*facade, withAudio); },
                                                                       [&] { facade->EstimateFileSize(0, 1); },
                                                                       [&] { facade->EstimateFileSize(0, 1); }})
                if (std::string text = Thrown(call); text != "nothing")
                    reports.push_back(text);
            EXPECT_EQ(reports, std::vector<std::string>{expected});

            std::int64_t size = 0;
            const std::string finish = Thrown([&] { size = facade->FinishMediaFile(); });
            if (std::string(fault) == "file size limit")
            {
                EXPECT_EQ(finish.rfind("AvException", 0), 0u) << finish;
                EXPECT_TRUE(fs::exists(Mpeg::Journal::PathFor(second.string())));
                EXPECT_NE(Thrown([&] { Add(*facade, withAudio, 0, 5); }).find("must be opened"), std::string::npos);
                EXPECT_EQ(Thrown([&] { facade->FinishMediaFile(); }), finish);
                EXPECT_EQ(facade->FinishMediaFile(), 0); // nothing open any more
            }
            else
            {
                // The file keeps what came before the rejected list: twenty pictures and one list at most.
                EXPECT_EQ(finish, "nothing");
                EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(second)));
                EXPECT_LE(TestMedia::DecodeFrameCount(second, 0), 25);
                // Timed from the split: its first picture one tick (40 ms) after it.
                const TestMedia::ReadFile file = TestMedia::Read(second);
                const auto picture = std::find_if(file.packets.begin(), file.packets.end(),
                                                  [](const TestMedia::ReadPacket& p) { return p.streamIndex == 0; });
                ASSERT_NE(picture, file.packets.end());
                EXPECT_NEAR(static_cast<double>(picture->pts) * av_q2d(file.streams[0].timeBase), 0.04, 0.001);
            }
            ExpectRecovered(*facade, dir, withAudio);
        }
}

// A file whose index no longer fits is not reported finished and keeps its
// recovery journal, on every later finish too.
TEST(Faults, AFailedFinishKeepsTheRecoveryJournal)
{
    const auto media = TestMedia::EncodeVideo("mjpeg", 176, 144, 12);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "a.mp4", TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, media));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame));
    std::string finish;
    {
        TestMedia::FileSizeCap cap(static_cast<rlim_t>(facade->EstimateFileSize(0, 1)));
        finish = Thrown([&] { facade->FinishMediaFile(); });
    }
    EXPECT_EQ(finish, Av(AVERROR(EFBIG), "::av_write_trailer"));
    EXPECT_TRUE(fs::exists(Mpeg::Journal::PathFor((dir / "a.mp4").string())));
    EXPECT_EQ(Thrown([&] { facade->FinishMediaFile(); }), finish);
    EXPECT_TRUE(fs::exists(Mpeg::Journal::PathFor((dir / "a.mp4").string())));
}
