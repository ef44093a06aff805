// Faults a host meets unattended, on both facades: each reported once, by the
// documented call; the file before stays intact and the next one is written.

#include "FacadeWrites.h"

#include <gtest/gtest.h>

#include <mpegexporter/Journal.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

namespace
{
namespace fs = std::filesystem;
namespace Journal = Mpeg::Journal;
using TestMedia::AvError;
using TestMedia::Bytes;
using TestMedia::Refusal;
using TestMedia::Thrown;
using namespace FacadeWrites;

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

// A second file that cannot be opened, after a finished one or by a split, or
// whose recovery journal cannot be made or its header not written: the
// half-made file is given up without a trace, a symbolic link's target is
// untouched, and the facade takes the next file at once.
TEST(Faults, FilesThatCannotBeOpenedAreReportedByTheCallThatOpensThem)
{
    const std::string notRegular = Refusal("FfMpegFacadeBase::FinishInitMediaFile: 'JOURNAL' is not a regular file "
                                           "(a directory, a symbolic link, a FIFO or a device): the recovery journal "
                                           "is written only as one");
    // what, the file, the call that reports it (unless a split does), what it throws (JOURNAL: b.mp4's journal)
    const std::tuple<std::string, const char*, const char*, std::string> faults[] = {
        {"lone surrogate", "b.mp4", "StartInitMediaFile", "range_error: bad conversion"},
        {"directory gone", "gone/b.mp4", "FinishInitMediaFile", AvError(AVERROR(ENOENT), "::open")},
        // b.mp4 is /dev/full: the header goes to the file at once; the device takes none of it.
        {"full disk", "b.mp4", "FinishInitMediaFile", AvError(AVERROR(ENOSPC), "::avformat_write_header")},
        // The MPEG-4 encoder takes pictures below 8192 on a side (a split reuses the record).
        {"picture size", "b.mp4", "InitStreamVideo", AvError(AVERROR(EINVAL), "::avcodec_open2")},
        // Copied AAC still needs an encoder for the silence; it has no 11 kHz.
        {"audio encoder", "b.mp4", "InitStreamAudio", AvError(AVERROR(EINVAL), "::avcodec_open2")},
        // The journal only as a regular file, never through a link.
        {"journal a directory", "b.mp4", "FinishInitMediaFile", notRegular},
        {"journal a symbolic link", "b.mp4", "FinishInitMediaFile", notRegular},
        {"journal a fifo", "b.mp4", "FinishInitMediaFile", notRegular},
        // The file's header (48 bytes) fits under the cap; the journal's does not.
        {"journal header", "b.mp4", "FinishInitMediaFile", AvError(AVERROR(EFBIG), "::write (recovery journal 'JOURNAL')")},
    };
    for (const auto& [fault, file, reporter, expected] : faults)
        for (const bool withAudio : {false, true})
            for (const bool split : {false, true})
            {
                // A split would have the cap fail the trailer of the file it finishes.
                if ((split && (fault == "picture size" || fault == "journal header")) ||
                    (fault == "audio encoder" && (split || !withAudio)))
                    continue;
                SCOPED_TRACE(fault + (withAudio ? ", audio/video" : ", video") + (split ? ", split" : ""));
                TestMedia::TempDir dir;
                std::ofstream(dir / "target.txt") << "kept";
                const std::string inDir = Journal::PathFor((dir / "b.mp4").string());
                if (fault == "full disk")
                    fs::create_symlink("/dev/full", dir / file);
                if (fault == "journal a directory")
                    fs::create_directory(inDir);
                if (fault == "journal a symbolic link")
                    fs::create_symlink(dir / "target.txt", inDir);
                if (fault == "journal a fifo")
                    mkfifo(inDir.c_str(), 0644);
                auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
                Write(*facade, withAudio, dir / "a.mp4");
                if (!split)
                    facade->FinishMediaFile();
                const std::wstring name = TestMedia::Wide(dir / file) + (fault == "lone surrogate" ? L"\xD800" : L"");
                std::string call = "split", thrown;
                {
                    std::optional<TestMedia::FileSizeCap> cap;
                    if (fault == "journal header")
                        cap.emplace(64);
                    thrown = Thrown([&] {
                        if (split && withAudio)
                            return static_cast<void>(facade->SplitMediaFileAudioVideo(name, 0, {Pcm().packets[0], 0}));
                        if (split)
                            return static_cast<void>(facade->SplitMediaFileVideo(name, 0));
                        facade->StartInitMediaFile((call = "StartInitMediaFile", name));
                        call = "InitStreamVideo";
                        facade->InitStreamVideo(fault == "picture size"
                                                    ? TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, 8192, 8192)
                                                    : TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video()));
                        call = "InitStreamAudio";
                        if (withAudio)
                            facade->InitStreamAudio(TestMedia::AudioRecord(
                                fault == "audio encoder" ? Mpeg::CodecIdAudio::Aac : Mpeg::CodecIdAudio::PcmS16be,
                                fault == "audio encoder" ? 11000 : 8000));
                        call = "FinishInitMediaFile";
                        facade->FinishInitMediaFile();
                    });
                }
                EXPECT_EQ(call, split ? "split" : reporter);
                const std::size_t at = expected.find("JOURNAL");
                EXPECT_EQ(thrown, at == std::string::npos ? expected : std::string(expected).replace(at, 7, inDir));
                EXPECT_NE(Thrown([&] { Add(*facade, withAudio, 0, 5); }).find("must be opened"), std::string::npos);
                EXPECT_EQ(facade->FinishMediaFile(), 0);
                EXPECT_TRUE(!fs::exists(dir / "b.mp4") || fs::is_symlink(dir / "b.mp4"));
                EXPECT_EQ(TestMedia::FileBytes(dir / "target.txt"), (Bytes{'k', 'e', 'p', 't'}));
                ExpectRecovered(*facade, dir, withAudio);
            }
}

// A write that fails on the worker, in the second file of a split, stops the
// file: every later call on it says so, and nothing more is taken. Finishing
// tries once to give the file its index, keeps the recovery journal when it
// cannot, and the finish after it closes the file.
TEST(Faults, AFailedWriteStopsTheFileAndEveryLaterCallSaysSo)
{
    for (const bool withAudio : {false, true})
    {
        SCOPED_TRACE(withAudio ? "audio/video" : "video");
        TestMedia::TempDir dir;
        const fs::path second = dir / "b.mp4";
        auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
        Write(*facade, withAudio, dir / "a.mp4");
        Write(*facade, withAudio, second, true, 20);
        std::string expected;
        {
            // The muxer's write, or the flush of a sync that falls in it.
            TestMedia::FileSizeCap cap(16 * 1024);
            expected = Thrown([&] {
                Add(*facade, withAudio, 20, 40);
                facade->EstimateFileSize(0, 1);
            });
        }
        EXPECT_EQ(expected.rfind("AvException " + std::to_string(EFBIG) + ": ", 0), 0u) << expected;
        // Empty lists too: none is taken silently.
        for (const auto& call : std::vector<std::function<void()>>{
                 [&] { Add(*facade, withAudio, 40, 5); }, [&] { facade->EstimateFileSize(0, 1); },
                 [&] { withAudio ? facade->AddPacketsAudioVideo({}, {}) : facade->AddPacketsVideo({}); }})
            EXPECT_EQ(Thrown(call), expected);
        EXPECT_EQ(Thrown([&] { facade->FinishMediaFile(); }), expected);
        EXPECT_TRUE(fs::exists(Journal::PathFor(second.string())));
        EXPECT_EQ(Thrown([&] { facade->FinishMediaFile(); }), expected);
        EXPECT_EQ(facade->FinishMediaFile(), 0); // nothing open any more
        ExpectRecovered(*facade, dir, withAudio);
    }
}

// Bad media where it is transcoded, on both facades: what cannot be used is
// skipped and counted, and the export goes on as players do. After a picture
// that does not decode, decoding starts again at the next key picture (the
// test pictures have one every twelve); a picture of another size is scaled
// to the file's.
TEST(BadMedia, IsSkippedCountedAndTheExportGoesOn)
{
    static const auto cif = TestMedia::EncodeVideo("h263", 352, 288, 60);
    const struct
    {
        const char* name;
        std::function<void(TestMedia::EncodedStream&, std::vector<Mpeg::MediaPacket>&)> spoil;
        Mpeg::SkippedPackets skipped;
        bool audio; // needs the audio/video facade
    } cases[] = {
        {"a garbage picture", [](auto& v, auto&) { v.packets[25] = Bytes(4096, 0xA5); }, {11, 0}, false},
        {"an empty picture", [](auto& v, auto&) { v.packets[25].clear(); }, {1, 0}, false},
        {"pictures of another size",
         [](auto& v, auto&) { std::copy(cif.packets.begin() + 36, cif.packets.end(), v.packets.begin() + 36); },
         {0, 0}, false},
        {"an empty audio packet", [](auto&, auto& a) { a[50].data.clear(); }, {0, 1}, true},
        {"audio without a whole sample", [](auto&, auto& a) { a[50].data = {0x55}; }, {0, 1}, true},
        {"audio with part of a sample more", [](auto&, auto& a) { a[50].data.push_back(0); }, {0, 0}, true},
    };
    for (const auto& c : cases)
        for (const bool withAudio : {false, true})
        {
            if (c.audio && !withAudio)
                continue;
            SCOPED_TRACE(std::string(c.name) + (withAudio ? ", audio/video" : ", video"));
            TestMedia::TempDir dir;
            TestMedia::EncodedStream video = Video();
            std::vector<Mpeg::MediaPacket> audio = TestMedia::TimedAudio(Pcm());
            c.spoil(video, audio);
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            Open(*facade, withAudio, dir / "out.mp4");
            EXPECT_EQ(Thrown([&] {
                          TestMedia::AddInLists(*facade, video, 0, 60, 5, withAudio ? &audio : nullptr);
                          facade->FinishMediaFile();
                      }),
                      "nothing");
            const Mpeg::SkippedPackets skipped = facade->GetSkippedPackets();
            EXPECT_EQ(std::pair(skipped.video, skipped.audio), std::pair(c.skipped.video, c.skipped.audio));
            EXPECT_EQ(TestMedia::DecodeFrameCount(dir / "out.mp4", 0), 60 - static_cast<int>(c.skipped.video));
            if (withAudio)
            {
                EXPECT_NEAR(TestMedia::MeasureSync(dir / "out.mp4").audioSeconds, 2.4, 0.13);
            }
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
    EXPECT_EQ(finish, AvError(AVERROR(EFBIG), "::av_write_trailer"));
    EXPECT_TRUE(fs::exists(Journal::PathFor((dir / "a.mp4").string())));
    EXPECT_EQ(Thrown([&] { facade->FinishMediaFile(); }), finish);
    EXPECT_TRUE(fs::exists(Journal::PathFor((dir / "a.mp4").string())));
}
