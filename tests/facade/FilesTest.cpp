// The file behind an export, on both facades: names the host may give, and
// the file known by what it is (a second writer, a split into it, a file
// taken away during the export). A journal that cannot be made: FaultTest.

#include "FacadeWrites.h"

#include <gtest/gtest.h>

#include <mpegexporter/Journal.h>

#include <fstream>

namespace
{
namespace fs = std::filesystem;
namespace Journal = Mpeg::Journal;
using TestMedia::Refusal;
using TestMedia::Thrown;
using namespace FacadeWrites;

// Relative names are the host's: each case runs in a fresh directory that it writes into.
struct InNewDirectory
{
    InNewDirectory() { fs::current_path(dir.Path()); }
    ~InNewDirectory() { fs::current_path(saved); }
    fs::path saved = fs::current_path();
    TestMedia::TempDir dir;
};
} // namespace

// Any name the file system takes is a file name: a colon is no protocol, a
// "file:" prefix is part of the name, and a name too long to take
// ".journal" gets a journal name that fits.
TEST(Files, EveryNameTheFileSystemTakesIsWrittenAsGiven)
{
    // é takes two bytes, from an odd offset: the journal name must not cut one in half.
    std::string accented = "x";
    while (accented.size() < 249)
        accented += "\xc3\xa9";
    for (const std::string& name : {std::string("cam1:front.mp4"), std::string("file:cam1.mp4"),
                                    std::string(251, 'a') + ".mp4", std::string(244, 'b') + ".mp4", accented + ".mp4"})
        for (const bool withAudio : {false, true})
        {
            SCOPED_TRACE(name.substr(0, 20) + "... (" + std::to_string(name.size()) + " bytes)" +
                         (withAudio ? ", audio/video" : ", video"));
            const InNewDirectory here;
            const std::string journal = Journal::PathFor(name);
            EXPECT_LE(journal.size(), 255u);
            EXPECT_EQ(journal.find('\xc3', journal.size() - 9 - 8 - 1), std::string::npos) << "a cut é";
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            ASSERT_EQ(Thrown([&] { Write(*facade, withAudio, name); }), "nothing");
            facade->EstimateFileSize(0, 1);
            EXPECT_EQ(TestMedia::Listing("."), (std::set<std::string>{name, journal}));
            EXPECT_GT(facade->FinishMediaFile(), 0);
            EXPECT_EQ(TestMedia::Listing("."), std::set<std::string>{name});
            EXPECT_EQ(TestMedia::DecodeFrameCount(here.dir / name, 0), 20);
        }
}

// The file being written is known by what it is, not by its name. A second
// export of it, by any name, is refused without touching it; a split into it
// would overwrite what was just finished and is refused before anything is;
// a file deleted, moved or replaced while it is written is not reported
// finished. Each time the facade goes on to the next file.
TEST(Files, TheFileBeingWrittenIsKnownByWhatItIs)
{
    const std::pair<std::string, std::string> cases[] = {
        {"second export", "a.mp4"}, {"second export", "./a.mp4"}, {"second export", "hard.mp4"},
        {"second export", "soft.mp4"}, {"split", "a.mp4"}, {"split", "./a.mp4"}, {"split", "hard.mp4"},
        {"split", "soft.mp4"}, {"deleted", ""}, {"moved", ""}, {"replaced", ""}};
    for (const auto& [action, name] : cases)
        for (const bool withAudio : {false, true})
        {
            SCOPED_TRACE(action + " " + name + (withAudio ? ", audio/video" : ", video"));
            const InNewDirectory here;
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio), second = Mpeg::IFfMpegFacade::Create(!withAudio);
            Write(*facade, withAudio, "a.mp4");
            facade->EstimateFileSize(0, 1);
            fs::create_hard_link("a.mp4", "hard.mp4");
            fs::create_symlink("a.mp4", "soft.mp4");
            if (action == "second export")
            {
                EXPECT_EQ(Thrown([&] { Open(*second, !withAudio, name); }),
                          Refusal("FfMpegFacadeBase::FinishInitMediaFile: '" + name + "' is being written by another export"));
                EXPECT_EQ(TestMedia::Listing("."),
                          (std::set<std::string>{"a.mp4", Journal::PathFor("a.mp4"), "hard.mp4", "soft.mp4"}));
            }
            if (action == "split")
            {
                EXPECT_EQ(Thrown([&] { Write(*facade, withAudio, name, true, 20); }),
                          Refusal(std::string(withAudio ? "FfMpegFacadeSynchronized::SplitMediaFileAudioVideo"
                                                        : "FfMpegFacadeBase::SplitMediaFileVideo") +
                                  ": '" + name + "' is the file being written"));
            }
            if (action == "deleted")
                fs::remove("a.mp4");
            if (action == "moved")
                fs::rename("a.mp4", "moved.mp4");
            if (action == "replaced")
                std::ofstream("other.mp4") << "other", fs::rename("other.mp4", "a.mp4");
            Add(*facade, withAudio, 20, 10);
            const bool gone = name.empty();
            EXPECT_EQ(Thrown([&] { facade->FinishMediaFile(); }),
                      gone ? Refusal("FfMpegFacadeBase::FinishMediaFile: 'a.mp4' was deleted, moved or replaced "
                                     "while it was written; the file finished is not there")
                           : "nothing");
            EXPECT_FALSE(fs::exists(Journal::PathFor("a.mp4")));
            if (!gone || action == "moved")
            {
                EXPECT_EQ(TestMedia::DecodeFrameCount(action == "moved" ? "moved.mp4" : "a.mp4", 0), 30);
            }
            Write(*facade, withAudio, "c.mp4");
            EXPECT_GT(facade->FinishMediaFile(), 0);
            EXPECT_EQ(TestMedia::DecodeFrameCount("c.mp4", 0), 20);
            // Once it is finished the file is free again.
            Open(*second, !withAudio, action == "second export" ? name : "a.mp4");
            EXPECT_GT(second->FinishMediaFile(), 0);
        }
}
