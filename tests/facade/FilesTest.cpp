// The file behind an export, on both facades: names the host may give, a
// journal that cannot be made, a second writer, a split into the file being
// written, a file taken away during the export, and a journal that lists what
// the file stores.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <mpegexporter/Journal.h>

#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <set>

namespace
{
namespace fs = std::filesystem;
using TestMedia::Thrown;
namespace Journal = Mpeg::Journal;

const TestMedia::EncodedStream& Video()
{
    static const auto video = TestMedia::EncodeVideo("mjpeg", 64, 48, 20);
    return video;
}

const std::vector<Mpeg::MediaPacket>& Audio()
{
    static const auto audio = TestMedia::TimedAudio(TestMedia::EncodeTone("pcm_s16be", 8000, 1, 440));
    return audio;
}

void Open(Mpeg::IFfMpegFacade& facade, bool withAudio, const fs::path& path)
{
    TestMedia::Open(facade, path, TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, Video()),
                    withAudio ? TestMedia::AudioRecord(Mpeg::CodecIdAudio::PcmS16be, 8000) : nullptr);
}

// Pictures [first, first + 10) with their audio.
void Add(Mpeg::IFfMpegFacade& facade, bool withAudio, std::size_t first)
{
    TestMedia::AddInLists(facade, Video(), first, first + 10, 5, withAudio ? &Audio() : nullptr);
}

std::string Facade(const char* location, const std::string& problem)
{
    return std::string("FfMpegFacadeException: FfMpegFacade: ") + location + ": " + problem;
}

// What the directory holds, names only.
std::set<std::string> Listing(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Relative names are the host's: the tests run them from the directory they write into.
struct InDirectory
{
    explicit InDirectory(const fs::path& dir) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(saved); }
    fs::path saved = fs::current_path();
};

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    return static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
}

TestMedia::Bytes Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
} // namespace

// Any name the file system takes is a file name: a colon is no protocol, a
// "file:" prefix is part of the name, and a name too long to take
// ".journal" gets a journal name that fits.
TEST(Files, EveryNameTheFileSystemTakesIsWrittenAsGiven)
{
    const std::string longName = std::string(251, 'a') + ".mp4";
    // é takes two bytes, from an odd offset: the journal name must not cut one in half.
    std::string accented = "x";
    while (accented.size() < 249)
        accented += "\xc3\xa9";
    accented += ".mp4";
    for (const std::string& name : {std::string("cam1:front.mp4"), std::string("file:cam1.mp4"), longName,
                                    std::string(244, 'b') + ".mp4", accented})
        for (const bool withAudio : {false, true})
        {
            SCOPED_TRACE(name.substr(0, 20) + "... (" + std::to_string(name.size()) + " bytes)" +
                         (withAudio ? ", audio/video" : ", video"));
            TestMedia::TempDir dir;
            const InDirectory here(dir.Path());
            const std::string journal = Journal::PathFor(name);
            EXPECT_LE(journal.size(), 255u);
            EXPECT_EQ(journal.find('\xc3', journal.size() - 9 - 8 - 1), std::string::npos) << "a cut é";
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            ASSERT_EQ(Thrown([&] { Open(*facade, withAudio, name); }), "nothing");
            Add(*facade, withAudio, 0);
            facade->EstimateFileSize(0, 1);
            EXPECT_EQ(Listing(dir.Path()), (std::set<std::string>{name, journal}));
            EXPECT_GT(facade->FinishMediaFile(), 0);
            EXPECT_EQ(Listing(dir.Path()), std::set<std::string>{name});
            EXPECT_EQ(TestMedia::DecodeFrameCount(dir / name, 0), 10);
        }
}

// Where the journal cannot be made, or its header not written, the file is
// not opened at all: nothing stays open or on disk, a symbolic link's target
// is untouched, and the facade takes the next file at once.
TEST(Files, AJournalThatCannotBeMadeLeavesNothingOpen)
{
    const std::string journal = Journal::PathFor("b.mp4");
    const std::string notRegular =
        "'" + journal +
        "' is not a regular file (a directory, a symbolic link, a FIFO or a device): the recovery journal is "
        "written only as one";
    const std::pair<const char*, std::string> faults[] = {
        {"directory", notRegular},
        {"symbolic link", notRegular},
        {"fifo", notRegular},
        // The header (48 bytes) fits under the cap; the journal's header does not.
        {"journal header", "AvException 27: FfMpegFacade: ::write (recovery journal '" + journal +
                               "'): " + TestMedia::StrError(AVERROR(EFBIG))},
    };
    for (const auto& [fault, problem] : faults)
        for (const bool withAudio : {false, true})
            for (const bool split : {false, true})
            {
                // The cap would fail the trailer of the file a split finishes first.
                if (split && fault == std::string("journal header"))
                    continue;
                SCOPED_TRACE(std::string(fault) + (withAudio ? ", audio/video" : ", video") + (split ? ", split" : ""));
                TestMedia::TempDir dir;
                const InDirectory here(dir.Path());
                const std::string target = "target.txt";
                std::ofstream(target) << "kept";
                if (fault == std::string("directory"))
                    fs::create_directory(journal);
                if (fault == std::string("symbolic link"))
                    fs::create_symlink(target, journal);
                if (fault == std::string("fifo"))
                    mkfifo(journal.c_str(), 0644);
                auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
                if (split)
                {
                    Open(*facade, withAudio, "a.mp4");
                    Add(*facade, withAudio, 0);
                }
                std::string thrown;
                {
                    std::optional<TestMedia::FileSizeCap> cap;
                    if (fault == std::string("journal header"))
                        cap.emplace(64);
                    thrown = Thrown([&] {
                        if (split && withAudio)
                            facade->SplitMediaFileAudioVideo(L"b.mp4", 4'000'000, Audio()[20]);
                        else if (split)
                            facade->SplitMediaFileVideo(L"b.mp4", 4'000'000);
                        else
                            Open(*facade, withAudio, "b.mp4");
                    });
                }
                const char* location = "FfMpegFacadeBase::FinishInitMediaFile";
                EXPECT_EQ(thrown, problem.rfind("AvException", 0) == 0 ? problem : Facade(location, problem));
                EXPECT_NE(Thrown([&] { Add(*facade, withAudio, 10); }).find("must be opened"), std::string::npos);
                EXPECT_FALSE(fs::exists("b.mp4"));
                EXPECT_EQ(TestMedia::Bytes(Contents(target)), (TestMedia::Bytes{'k', 'e', 'p', 't'}));
                // Nothing to finish: the next file starts at once.
                Open(*facade, withAudio, "c.mp4");
                Add(*facade, withAudio, 0);
                EXPECT_GT(facade->FinishMediaFile(), 0);
                EXPECT_EQ(TestMedia::DecodeFrameCount("c.mp4", 0), 10);
                EXPECT_EQ(TestMedia::DecodeFrameCount("a.mp4", 0), split ? 10 : -1);
            }
}

// One file, one export: a second facade on the same file (by any name) is
// refused without touching it, and the first goes on to a whole file.
TEST(Files, ASecondExportOfTheSameFileIsRefused)
{
    for (const char* name : {"a.mp4", "./a.mp4", "link.mp4"})
        for (const bool withAudio : {false, true})
        {
            SCOPED_TRACE(std::string(name) + (withAudio ? ", audio/video" : ", video"));
            TestMedia::TempDir dir;
            const InDirectory here(dir.Path());
            auto first = Mpeg::IFfMpegFacade::Create(withAudio);
            Open(*first, withAudio, "a.mp4");
            Add(*first, withAudio, 0);
            first->EstimateFileSize(0, 1);
            fs::create_hard_link("a.mp4", "link.mp4");
            auto second = Mpeg::IFfMpegFacade::Create(!withAudio);
            EXPECT_EQ(Thrown([&] { Open(*second, !withAudio, name); }),
                      Facade("FfMpegFacadeBase::FinishInitMediaFile",
                             "'" + std::string(name) + "' is being written by another export"));
            EXPECT_EQ(Listing(dir.Path()), (std::set<std::string>{"a.mp4", Journal::PathFor("a.mp4"), "link.mp4"}));
            Add(*first, withAudio, 10);
            const std::int64_t size = first->FinishMediaFile();
            EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size("a.mp4")));
            EXPECT_EQ(TestMedia::DecodeFrameCount("a.mp4", 0), 20);
            // Once it is finished the file is free again.
            Open(*second, !withAudio, name);
            EXPECT_GT(second->FinishMediaFile(), 0);
        }
}

// A split into the file being written would overwrite what was just
// finished: it is refused before anything is finished, and the file goes on.
TEST(Files, ASplitIntoTheFileBeingWrittenIsRefused)
{
    for (const char* name : {"a.mp4", "./a.mp4", "hard.mp4", "soft.mp4"})
        for (const bool withAudio : {false, true})
        {
            SCOPED_TRACE(std::string(name) + (withAudio ? ", audio/video" : ", video"));
            TestMedia::TempDir dir;
            const InDirectory here(dir.Path());
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            Open(*facade, withAudio, "a.mp4");
            Add(*facade, withAudio, 0);
            fs::create_hard_link("a.mp4", "hard.mp4");
            fs::create_symlink("a.mp4", "soft.mp4");
            const std::string problem = "'" + std::string(name) + "' is the file being written";
            EXPECT_EQ(Thrown([&] {
                          if (withAudio)
                              facade->SplitMediaFileAudioVideo(TestMedia::Wide(name), 4'000'000, Audio()[20]);
                          else
                              facade->SplitMediaFileVideo(TestMedia::Wide(name), 4'000'000);
                      }),
                      withAudio ? Facade("FfMpegFacadeSynchronized::SplitMediaFileAudioVideo", problem)
                                : Facade("FfMpegFacadeBase::SplitMediaFileVideo", problem));
            Add(*facade, withAudio, 10);
            EXPECT_GT(facade->FinishMediaFile(), 0);
            EXPECT_EQ(TestMedia::DecodeFrameCount("a.mp4", 0), 20);
        }
}

// A file deleted, moved or replaced while it is written is not reported
// finished: FinishMediaFile says so after closing it, and the facade takes
// the next file.
TEST(Files, AFileTakenAwayDuringTheExportIsReported)
{
    for (const char* fault : {"deleted", "moved", "replaced"})
        for (const bool withAudio : {false, true})
        {
            SCOPED_TRACE(std::string(fault) + (withAudio ? ", audio/video" : ", video"));
            TestMedia::TempDir dir;
            const InDirectory here(dir.Path());
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            Open(*facade, withAudio, "a.mp4");
            Add(*facade, withAudio, 0);
            facade->EstimateFileSize(0, 1);
            if (fault == std::string("deleted"))
                fs::remove("a.mp4");
            if (fault == std::string("moved"))
                fs::rename("a.mp4", "moved.mp4");
            if (fault == std::string("replaced"))
                std::ofstream("other.mp4") << "other", fs::rename("other.mp4", "a.mp4");
            Add(*facade, withAudio, 10);
            EXPECT_EQ(Thrown([&] { facade->FinishMediaFile(); }),
                      Facade("FfMpegFacadeBase::FinishMediaFile",
                             "'a.mp4' was deleted, moved or replaced while it was written; the file finished is "
                             "not there"));
            EXPECT_FALSE(fs::exists(Journal::PathFor("a.mp4")));
            EXPECT_EQ(TestMedia::DecodeFrameCount("moved.mp4", 0), fault == std::string("moved") ? 20 : -1);
            Open(*facade, withAudio, "c.mp4");
            Add(*facade, withAudio, 0);
            EXPECT_GT(facade->FinishMediaFile(), 0);
            EXPECT_EQ(TestMedia::DecodeFrameCount("c.mp4", 0), 10);
        }
}

// An export that never finished: its journal lists, in order, the size and
// checksum of every payload in the media data, whatever form H.264 and H.265
// came in. Without extradata the muxer takes the first picture as the
// stream's configuration and, when that has start codes, rewrites every
// picture as it does with Annex B extradata.
TEST(Files, TheJournalListsWhatTheFileStores)
{
    struct Form
    {
        const char* encoder;
        Mpeg::CodecIdVideo codec;
        bool globalHeader, annexB;
        const char* what;
    };
    const Form forms[] = {
        {"libx264", Mpeg::CodecIdVideo::H264, true, false, "H.264, avcC"},
        {"libx264", Mpeg::CodecIdVideo::H264, true, true, "H.264, start codes, Annex B extradata"},
        {"libx264", Mpeg::CodecIdVideo::H264, false, true, "H.264, start codes, no extradata"},
        {"libx265", Mpeg::CodecIdVideo::H265, true, true, "H.265, start codes, Annex B extradata"},
        {"libx265", Mpeg::CodecIdVideo::H265, false, true, "H.265, start codes, no extradata"},
        {"mpeg4", Mpeg::CodecIdVideo::Mpeg4, false, false, "MPEG-4"},
    };
    for (const Form& form : forms)
        for (const char* extension : {".mp4", ".mov"})
        {
            SCOPED_TRACE(std::string(form.what) + " into " + extension);
            if (!TestMedia::HasEncoder(form.encoder))
                continue;
            const auto media = TestMedia::EncodeVideo(form.encoder, 64, 48, 30, 25, 12, form.globalHeader, 0, form.annexB);
            ASSERT_EQ(media.extradata.empty(), !form.globalHeader);
            TestMedia::TempDir dir;
            const fs::path path = dir / (std::string("a") + extension);
            {
                auto facade = Mpeg::IFfMpegFacade::Create(false);
                TestMedia::Open(*facade, path, TestMedia::VideoRecord(form.codec, media));
                facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, 400'000));
                facade->EstimateFileSize(0, 1);
            } // released unfinished, as a killed process leaves it
            const TestMedia::Bytes file = Contents(path), journalBytes = Contents(Journal::PathFor(path.string()));
            const Journal::Contents journal = Journal::Parse(journalBytes.data(), journalBytes.size(), Crc32);
            ASSERT_TRUE(journal.valid);
            ASSERT_EQ(journal.packets.size(), media.packets.size());
            // The media data follows ftyp, a free box and the mdat's own header.
            std::size_t at = 0;
            while (at + 8 <= file.size() && std::string(file.begin() + at + 4, file.begin() + at + 8) != "mdat")
                at += std::max<std::size_t>(8, std::size_t{file[at]} << 24 | file[at + 1] << 16 | file[at + 2] << 8 |
                                                   file[at + 3]);
            at += 8;
            for (std::size_t i = 0; i < journal.packets.size(); ++i)
            {
                const Journal::PacketEntry& entry = journal.packets[i];
                ASSERT_LE(at + entry.size, file.size()) << "packet " << i;
                EXPECT_EQ(Journal::PayloadChecksum(Crc32, file.data() + at, entry.size), entry.checksum)
                    << "packet " << i;
                at += entry.size;
            }
        }
}
