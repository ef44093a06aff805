// Faults a host meets unattended: files that cannot be written, names that
// cannot be converted, input the decoders reject, encoders that cannot open.
// Each must reach the host as the documented exception through the documented
// call, leave the files finished before it intact, and leave the facade ready
// for the next file. The sanitizer build watches for leaks.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>

namespace
{
namespace fs = std::filesystem;
using Audio = Mpeg::CodecIdAudio;
using TestMedia::Bytes;
using TestMedia::EncodedStream;
using TestMedia::StrError;
using TestMedia::Thrown;

constexpr std::uint64_t kFrame = 400000; // 40 ms in host units
constexpr std::size_t kBatch = 5;
constexpr std::size_t kFirstFile = 20; // pictures in the file finished before the fault
constexpr std::size_t kLater = 10;     // pictures in files after it

// H.263 and 16-bit PCM both go through a decoder and an encoder into MP4.
// At 4CIF forty pictures outgrow the muxer's 256 KB write buffer, so a
// failing write happens on the worker, not only at the trailer.
const EncodedStream& Video()
{
    static const EncodedStream video = TestMedia::EncodeVideo("h263", 704, 576, 60);
    return video;
}

const EncodedStream& Pcm()
{
    static const EncodedStream audio = TestMedia::EncodeTone("pcm_s16be", 8000, 2.4, 440);
    return audio;
}

std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord()
{
    return TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video());
}

std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord()
{
    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    record->timeScale = 8000;
    record->codecId = Audio::PcmS16be;
    return record;
}

// One export through either facade.
struct Export
{
    explicit Export(bool audio) : withAudio(audio), facade(Mpeg::IFfMpegFacade::Create(audio)) {}

    void Open(const fs::path& path) const
    {
        facade->StartInitMediaFile(TestMedia::Wide(path));
        facade->InitStreamVideo(VideoRecord());
        if (withAudio)
            facade->InitStreamAudio(AudioRecord());
        facade->FinishInitMediaFile();
    }

    // Pictures [first, first + count) in batches, with the audio of the same
    // stretch; `garbage` replaces the first video or audio packet of the
    // second batch.
    void Add(std::size_t first, std::size_t count, const Bytes* videoGarbage = nullptr,
             const Bytes* audioGarbage = nullptr) const
    {
        for (std::size_t v = first; v < first + count; v += kBatch)
        {
            const bool spoiled = v == first + kBatch;
            Mpeg::MediaPacketList video = TestMedia::ToHostPackets(Video(), 0, kFrame, v, kBatch);
            if (spoiled && videoGarbage)
                video.front()->data = *videoGarbage;
            if (!withAudio)
            {
                facade->AddPacketsVideo(std::move(video));
                continue;
            }
            // 20 ms packets: two for every picture.
            Mpeg::MediaPacketList audio = TestMedia::ToHostPackets(Pcm(), 0, kFrame / 2, 2 * v, 2 * kBatch);
            if (spoiled && audioGarbage)
                audio.front()->data = *audioGarbage;
            facade->AddPacketsAudioVideo(std::move(video), std::move(audio));
        }
    }

    std::int64_t Split(const std::wstring& name, std::size_t at) const
    {
        if (!withAudio)
            return facade->SplitMediaFileVideo(name, at * kFrame);
        const Mpeg::MediaPacket firstAudio{Pcm().packets[2 * at], at * kFrame};
        return facade->SplitMediaFileAudioVideo(name, at * kFrame, firstAudio);
    }

    bool withAudio;
    std::shared_ptr<Mpeg::IFfMpegFacade> facade;
};

// Reads the file back: `pictures` pictures that all decode, and audio when
// the export had it.
void ExpectComplete(const fs::path& path, std::size_t pictures, bool withAudio)
{
    SCOPED_TRACE(path.filename().string());
    ASSERT_TRUE(fs::exists(path));
    const TestMedia::ReadFile file = TestMedia::Read(path);
    ASSERT_EQ(file.streams.size(), withAudio ? 2u : 1u);
    EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
    std::size_t video = 0, audio = 0;
    for (const auto& packet : file.packets)
        ++(packet.streamIndex == 0 ? video : audio);
    EXPECT_EQ(video, pictures);
    EXPECT_EQ(TestMedia::DecodeFrameCount(path, 0), static_cast<int>(pictures));
    if (withAudio)
    {
        EXPECT_EQ(file.streams[1].codecId, AV_CODEC_ID_AAC);
        EXPECT_GT(audio, 0u);
        EXPECT_GT(TestMedia::DecodeFrameCount(path, 1), 0);
    }
}

// After a fault the same facade writes the next file as if nothing happened.
void ExpectRecovery(const Export& e, const fs::path& path)
{
    e.Open(path);
    e.Add(0, kLater);
    EXPECT_GT(e.facade->FinishMediaFile(), 0);
    ExpectComplete(path, kLater, e.withAudio);
}

// Leaves CAP_DAC_OVERRIDE out of this thread's effective capabilities while
// it lives, so that file permissions hold even for root. Capabilities belong
// to threads, and the facade opens files on the host's thread.
class WithoutPermissionOverride
{
public:
    WithoutPermissionOverride()
    {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        m_reduced = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutPermissionOverride()
    {
        if (m_reduced)
            syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

private:
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
    bool m_reduced = false;
};

// Caps the size of files this process writes; writes past it fail with
// EFBIG instead of raising SIGXFSZ.
class FileSizeCap
{
public:
    explicit FileSizeCap(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = m_saved;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }
    FileSizeCap(const FileSizeCap&) = delete;
    FileSizeCap& operator=(const FileSizeCap&) = delete;

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = nullptr;
};

std::string Av(int code, const std::string& call)
{
    return "AvException " + std::to_string(-code) + ": FfMpegFacade: " + call + ": " + StrError(code);
}

std::wstring LoneSurrogate(const fs::path& dir)
{
    return TestMedia::Wide(dir) + L"/b\xD800.mp4";
}

// ---------------------------------------------------------------------------
// Files that cannot be opened

// How a second file is attempted after a first one was finished.
enum class Via
{
    Open,  // StartInitMediaFile, InitStream*, FinishInitMediaFile
    Split, // Split*, which finishes the first file itself
};

struct OpenFault
{
    const char* name;
    // Prepares the fault under the directory; returns the name to use.
    std::function<std::wstring(const fs::path&)> prepare;
    // The call that reports it when opening directly, and what it throws;
    // a split reports the same.
    const char* call;
    std::function<std::string()> thrown;
    // Strikes between StartInitMediaFile and FinishInitMediaFile (direct only).
    std::function<void(const fs::path&)> afterStart = nullptr;
    std::unique_ptr<Mpeg::StreamParametersVideo> (*videoRecord)() = VideoRecord;
    std::unique_ptr<Mpeg::StreamParametersAudio> (*audioRecord)() = AudioRecord;
};

void PrintTo(const OpenFault& fault, std::ostream* os)
{
    *os << fault.name;
}

const OpenFault kOpenFaults[] = {
    {"lone surrogate in the name", LoneSurrogate, "StartInitMediaFile",
     [] { return std::string("range_error: bad conversion"); }},
    {"directory gone",
     [](const fs::path& dir) { return TestMedia::Wide(dir / "gone" / "b.mp4"); }, "FinishInitMediaFile",
     [] { return Av(AVERROR(ENOENT), "::avio_open"); }},
    {"directory removed after the name was given",
     [](const fs::path& dir) {
         fs::create_directory(dir / "gone");
         return TestMedia::Wide(dir / "gone" / "b.mp4");
     },
     "FinishInitMediaFile", [] { return Av(AVERROR(ENOENT), "::avio_open"); },
     [](const fs::path& dir) { fs::remove_all(dir / "gone"); }},
    {"path under a regular file",
     [](const fs::path& dir) {
         std::ofstream(dir / "plain") << "not a directory";
         return TestMedia::Wide(dir / "plain" / "b.mp4");
     },
     "FinishInitMediaFile", [] { return Av(AVERROR(ENOTDIR), "::avio_open"); }},
    {"directory without write permission",
     [](const fs::path& dir) {
         fs::create_directory(dir / "locked");
         fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
         return TestMedia::Wide(dir / "locked" / "b.mp4");
     },
     "FinishInitMediaFile", [] { return Av(AVERROR(EACCES), "::avio_open"); }},
    // The header goes to the file at once; the device takes none of it.
    {"full disk",
     [](const fs::path& dir) {
         fs::create_symlink("/dev/full", dir / "full.mp4");
         return TestMedia::Wide(dir / "full.mp4");
     },
     "FinishInitMediaFile", [] { return Av(AVERROR(ENOSPC), "::avformat_write_header"); }},
    // The MPEG-4 encoder (H.263 into MP4) takes time bases up to 1/65535 and
    // pictures below 8192 on a side; odd sizes are fine.
    {"video encoder refusing a 90 kHz time scale",
     [](const fs::path& dir) { return TestMedia::Wide(dir / "b.mp4"); }, "InitStreamVideo",
     [] { return Av(AVERROR(EINVAL), "::avcodec_open2"); }, nullptr,
     [] { return TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video(), 90000); }},
    {"video encoder refusing the picture size",
     [](const fs::path& dir) { return TestMedia::Wide(dir / "b.mp4"); }, "InitStreamVideo",
     [] { return Av(AVERROR(EINVAL), "::avcodec_open2"); }, nullptr,
     [] { return TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, 8192, 8192); }},
    // Copied AAC still needs an encoder for the silence; it has no 11 kHz.
    {"audio encoder that cannot open",
     [](const fs::path& dir) { return TestMedia::Wide(dir / "b.mp4"); }, "InitStreamAudio",
     [] { return Av(AVERROR(EINVAL), "::avcodec_open2"); }, nullptr, VideoRecord,
     [] {
         auto record = AudioRecord();
         record->codecId = Audio::Aac;
         record->timeScale = 11000;
         return record;
     }},
};

class OpenFaults : public testing::TestWithParam<std::tuple<OpenFault, bool, Via>>
{
};

TEST_P(OpenFaults, AreReportedByTheDocumentedCallAndLeaveNoFileOpen)
{
    const auto& [fault, withAudio, via] = GetParam();
    const bool recordFault = fault.videoRecord != VideoRecord || fault.audioRecord != AudioRecord;
    if (via == Via::Split && (fault.afterStart || recordFault))
        GTEST_SKIP() << "a split reuses the records and opens at once";
    if (!withAudio && fault.audioRecord != AudioRecord)
        GTEST_SKIP() << "the video-only facade takes no audio";

    TestMedia::TempDir dir;
    Export e(withAudio);
    e.Open(dir / "a.mp4");
    e.Add(0, kFirstFile);
    const std::wstring name = fault.prepare(dir.Path());
    std::string call, thrown;
    WithoutPermissionOverride permissionsHold;
    if (via == Via::Split)
    {
        call = "Split";
        thrown = Thrown([&] { e.Split(name, kFirstFile); });
    }
    else
    {
        e.facade->FinishMediaFile();
        thrown = Thrown([&] {
            call = "StartInitMediaFile";
            e.facade->StartInitMediaFile(name);
            call = "InitStreamVideo";
            e.facade->InitStreamVideo(fault.videoRecord());
            if (withAudio)
            {
                call = "InitStreamAudio";
                e.facade->InitStreamAudio(fault.audioRecord());
            }
            if (fault.afterStart)
                fault.afterStart(dir.Path());
            call = "FinishInitMediaFile";
            e.facade->FinishInitMediaFile();
        });
        EXPECT_EQ(call, fault.call);
    }
    EXPECT_EQ(thrown, fault.thrown());

    // Nothing is open: the half-made file is given up, nothing is left of it,
    // and the first file is complete.
    EXPECT_EQ(e.facade->FinishMediaFile(), 0);
    EXPECT_FALSE(fs::exists(dir / "b.mp4"));
    ExpectComplete(dir / "a.mp4", kFirstFile, withAudio);
    ExpectRecovery(e, dir / "c.mp4");
}

// A failed StartInitMediaFile leaves nothing to give up: the host can name
// another file at once.
TEST(OpenFaultsDirect, AFailedStartLeavesNothingBehind)
{
    TestMedia::TempDir dir;
    for (const bool withAudio : {false, true})
    {
        Export e(withAudio);
        EXPECT_EQ(Thrown([&] { e.facade->StartInitMediaFile(LoneSurrogate(dir.Path())); }),
                  "range_error: bad conversion");
        EXPECT_EQ(Thrown([&] { e.facade->StartInitMediaFile(TestMedia::Wide(dir / "b.xyz")); }).rfind("AvException", 0),
                  0u);
        ExpectRecovery(e, dir / (withAudio ? "av.mp4" : "v.mp4"));
    }
}

std::string Name(const testing::TestParamInfo<std::tuple<OpenFault, bool, Via>>& info)
{
    std::string name = std::get<0>(info.param).name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name + (std::get<1>(info.param) ? "_AudioVideo" : "_Video") +
           (std::get<2>(info.param) == Via::Split ? "_Split" : "_Open");
}

INSTANTIATE_TEST_SUITE_P(Faults, OpenFaults,
                         testing::Combine(testing::ValuesIn(kOpenFaults), testing::Bool(),
                                          testing::Values(Via::Open, Via::Split)),
                         Name);

// ---------------------------------------------------------------------------
// Faults on the worker, in the second file of a split

struct WorkerFault
{
    const char* name;
    // Adds the second file's packets with the fault in them.
    std::function<void(const Export&)> add;
    std::function<std::string()> thrown;
    // A write that failed leaves the file unusable: finishing it fails once
    // more (the trailer), and so does a second finish, which closes it.
    bool writeFails = false;
    bool audioOnly = false;
};

void PrintTo(const WorkerFault& fault, std::ostream* os)
{
    *os << fault.name;
}

const Bytes kVideoGarbage(4096, 0xA5);
const Bytes kAudioGarbage{0x55}; // one byte: no 16-bit sample

const WorkerFault kWorkerFaults[] = {
    {"file size limit",
     [](const Export& e) {
         FileSizeCap cap(16 * 1024);
         e.Add(kFirstFile, 40);
         e.facade->EstimateFileSize(0, 1);
     },
     [] { return Av(AVERROR(EFBIG), "::av_interleaved_write_frame"); }, true},
    // The H.263 decoder answers a damaged picture header with -1, which
    // reads as EPERM.
    {"video the decoder rejects", [](const Export& e) { e.Add(kFirstFile, 20, &kVideoGarbage); },
     [] { return Av(AVERROR(EPERM), "::avcodec_send_packet"); }},
    {"audio the decoder rejects", [](const Export& e) { e.Add(kFirstFile, 20, nullptr, &kAudioGarbage); },
     [] { return Av(AVERROR_INVALIDDATA, "::avcodec_send_packet"); }, false, true},
};

class WorkerFaults : public testing::TestWithParam<std::tuple<WorkerFault, bool>>
{
};

TEST_P(WorkerFaults, AreReportedOnceAndLeaveTheFirstFileIntact)
{
    const auto& [fault, withAudio] = GetParam();
    if (fault.audioOnly && !withAudio)
        GTEST_SKIP() << "the video-only facade takes no audio";
    TestMedia::TempDir dir;
    Export e(withAudio);
    e.Open(dir / "a.mp4");
    e.Add(0, kFirstFile);
    const fs::path second = dir / "b.mp4";
    ASSERT_EQ(Thrown([&] { e.Split(TestMedia::Wide(second), kFirstFile); }), "nothing");
    ExpectComplete(dir / "a.mp4", kFirstFile, withAudio);

    // Whichever waiting call comes first reports the failure, once: an add
    // call that finds the worker ended, or the estimate that waits for it.
    std::vector<std::string> reports;
    for (const auto& call : std::vector<std::function<void()>>{[&] { fault.add(e); },
                                                               [&] { e.facade->EstimateFileSize(0, 1); },
                                                               [&] { e.facade->EstimateFileSize(0, 1); }})
        if (std::string text = Thrown(call); text != "nothing")
            reports.push_back(text);
    EXPECT_EQ(reports, std::vector<std::string>{fault.thrown()});

    std::int64_t size = 0;
    const std::string finish = Thrown([&] { size = e.facade->FinishMediaFile(); });
    if (fault.writeFails)
    {
        EXPECT_EQ(finish.rfind("AvException", 0), 0u) << finish;
        EXPECT_EQ(Thrown([&] { size = e.facade->FinishMediaFile(); }), finish);
        EXPECT_EQ(e.facade->FinishMediaFile(), 0); // nothing open any more
    }
    else
    {
        // The file keeps what was written before the rejected batch: the
        // batch ahead of it at most.
        EXPECT_EQ(finish, "nothing");
        EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(second)));
        const TestMedia::ReadFile file = TestMedia::Read(second);
        std::size_t pictures = 0;
        for (const auto& packet : file.packets)
            pictures += packet.streamIndex == 0;
        EXPECT_LE(pictures, kBatch);
        EXPECT_EQ(TestMedia::DecodeFrameCount(second, 0), static_cast<int>(pictures));
    }
    ExpectComplete(dir / "a.mp4", kFirstFile, withAudio);
    ExpectRecovery(e, dir / "c.mp4");
}

INSTANTIATE_TEST_SUITE_P(Faults, WorkerFaults, testing::Combine(testing::ValuesIn(kWorkerFaults), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<WorkerFault, bool>>& info) {
                             std::string name = std::get<0>(info.param).name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name + (std::get<1>(info.param) ? "_AudioVideo" : "_Video");
                         });

// Written files whose directory is removed while the export runs: the open
// file still takes every packet (POSIX keeps an unlinked file alive), so
// nothing fails, and nothing is left on disk either. A host that must keep
// its exports keeps their directory.
TEST(WorkerFaultsDirect, DirectoryRemovedWhileWritingFailsNothing)
{
    TestMedia::TempDir dir;
    fs::create_directory(dir / "gone");
    Export e(true);
    e.Open(dir / "gone" / "a.mp4");
    e.Add(0, kBatch);
    fs::remove_all(dir / "gone");
    e.Add(kBatch, kBatch);
    EXPECT_GT(e.facade->FinishMediaFile(), 0);
    EXPECT_FALSE(fs::exists(dir / "gone"));
    ExpectRecovery(e, dir / "c.mp4");
}

} // namespace
