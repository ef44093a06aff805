// Faults a host meets unattended, on both facades: files that cannot be
// opened, input the decoders reject, a disk that fills up. Each reaches the
// host once, as the documented exception through the documented call; the
// file finished before stays intact and the facade writes the next one.

#include "support/TestMedia.h"

#include <mpegexporter/Journal.h>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace
{
namespace fs = std::filesystem;
using TestMedia::Bytes;
using TestMedia::Thrown;

constexpr std::uint64_t kFrame = 400000; // 40 ms
constexpr std::size_t kBatch = 5;

// H.263 and 16-bit PCM both go through a decoder and an encoder into MP4. At
// 4CIF forty pictures outgrow the muxer's write buffer, so a failing write
// happens on the worker, not only at the trailer.
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

std::unique_ptr<Mpeg::StreamParametersAudio> AudioRecord(Mpeg::CodecIdAudio codec = Mpeg::CodecIdAudio::PcmS16be,
                                                         int rate = 8000)
{
    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    record->timeScale = rate;
    record->codecId = codec;
    return record;
}

std::string Av(int code, const std::string& call)
{
    return "AvException " + std::to_string(-code) + ": FfMpegFacade: " + call + ": " + TestMedia::StrError(code);
}

struct Export
{
    explicit Export(bool audio) : withAudio(audio), facade(Mpeg::IFfMpegFacade::Create(audio)) {}

    void Open(const fs::path& path) const
    {
        facade->StartInitMediaFile(TestMedia::Wide(path));
        facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video()));
        if (withAudio)
            facade->InitStreamAudio(AudioRecord());
        facade->FinishInitMediaFile();
    }

    // Pictures [first, first + count) in batches with the audio of the same
    // stretch; `garbage` replaces the first video or audio packet of the second batch.
    void Add(std::size_t first, std::size_t count, const Bytes* videoGarbage = nullptr,
             const Bytes* audioGarbage = nullptr) const
    {
        for (std::size_t v = first; v < first + count; v += kBatch)
        {
            const bool spoiled = v == first + kBatch;
            Mpeg::MediaPacketList video = TestMedia::ToHostPackets(Video(), 0, kFrame, v, kBatch);
            if (spoiled && videoGarbage)
                video.front()->data = *videoGarbage;
            Mpeg::MediaPacketList audio = TestMedia::ToHostPackets(Pcm(), 0, kFrame / 2, 2 * v, 2 * kBatch);
            if (spoiled && audioGarbage)
                audio.front()->data = *audioGarbage;
            withAudio ? facade->AddPacketsAudioVideo(std::move(video), std::move(audio))
                      : facade->AddPacketsVideo(std::move(video));
        }
    }

    std::int64_t Split(const std::wstring& name, std::size_t at) const
    {
        const Mpeg::MediaPacket firstAudio{Pcm().packets[2 * at], at * kFrame};
        return withAudio ? facade->SplitMediaFileAudioVideo(name, at * kFrame, firstAudio)
                         : facade->SplitMediaFileVideo(name, at * kFrame);
    }

    // `pictures` pictures that all decode, and audio when the export has it.
    void ExpectComplete(const fs::path& path, std::size_t pictures) const
    {
        SCOPED_TRACE(path.filename().string());
        const TestMedia::ReadFile file = TestMedia::Read(path);
        ASSERT_EQ(file.streams.size(), withAudio ? 2u : 1u);
        EXPECT_EQ(TestMedia::DecodeFrameCount(path, 0), static_cast<int>(pictures));
        EXPECT_TRUE(!withAudio || TestMedia::DecodeFrameCount(path, 1) > 0);
    }

    // The same facade writes the next file as if nothing had happened.
    void ExpectRecovery(const fs::path& path) const
    {
        Open(path);
        Add(0, 10);
        EXPECT_GT(facade->FinishMediaFile(), 0);
        ExpectComplete(path, 10);
    }

    bool withAudio;
    std::shared_ptr<Mpeg::IFfMpegFacade> facade;
};

// Caps the size of files this process writes; writes past it fail with
// EFBIG instead of raising SIGXFSZ.
class FileSizeCap
{
public:
    explicit FileSizeCap(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = m_saved;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }

private:
    rlimit m_saved{};
    void (*m_handler)(int) = nullptr;
};
} // namespace

// A second file that cannot be opened, named after a finished one or by a
// split that finishes it: the half-made file is given up without a trace.
TEST(Faults, FilesThatCannotBeOpenedAreReportedAndLeaveNothingOpen)
{
    struct Fault
    {
        const char* name;
        std::function<std::wstring(const fs::path&)> prepare; // returns the name to use
        const char* call;                                     // that reports it when opening directly
        std::string thrown;
        bool records = false; // a fault of the stream records, which a split reuses
    };
    const auto plain = [](const fs::path& dir) { return TestMedia::Wide(dir / "b.mp4"); };
    const Fault faults[] = {
        {"lone surrogate in the name", [](const fs::path& dir) { return TestMedia::Wide(dir) + L"/b\xD800.mp4"; },
         "StartInitMediaFile", "range_error: bad conversion"},
        {"unknown extension", [](const fs::path& dir) { return TestMedia::Wide(dir / "b.xyz"); }, "StartInitMediaFile",
         Av(AVERROR(EINVAL), "::avformat_alloc_output_context2")},
        {"directory gone", [](const fs::path& dir) { return TestMedia::Wide(dir / "gone" / "b.mp4"); },
         "FinishInitMediaFile", Av(AVERROR(ENOENT), "::avio_open")},
        {"path under a regular file",
         [](const fs::path& dir) {
             std::ofstream(dir / "plain") << "not a directory";
             return TestMedia::Wide(dir / "plain" / "b.mp4");
         },
         "FinishInitMediaFile", Av(AVERROR(ENOTDIR), "::avio_open")},
        // The header goes to the file at once; the device takes none of it.
        {"full disk",
         [](const fs::path& dir) {
             fs::create_symlink("/dev/full", dir / "b.mp4");
             return TestMedia::Wide(dir / "b.mp4");
         },
         "FinishInitMediaFile", Av(AVERROR(ENOSPC), "::avformat_write_header")},
        // The MPEG-4 encoder takes pictures below 8192 on a side.
        {"video encoder refusing the picture size", plain, "InitStreamVideo", Av(AVERROR(EINVAL), "::avcodec_open2"),
         true},
        // Copied AAC still needs an encoder for the silence; it has no 11 kHz.
        {"audio encoder that cannot open", plain, "InitStreamAudio", Av(AVERROR(EINVAL), "::avcodec_open2"), true},
    };
    for (const Fault& fault : faults)
        for (const bool withAudio : {false, true})
            for (const bool split : {false, true})
            {
                const bool audioFault = std::string(fault.call) == "InitStreamAudio";
                if ((split && fault.records) || (audioFault && !withAudio))
                    continue;
                SCOPED_TRACE(std::string(fault.name) + (withAudio ? ", audio/video" : ", video") +
                             (split ? ", split" : ""));
                TestMedia::TempDir dir;
                Export e(withAudio);
                e.Open(dir / "a.mp4");
                e.Add(0, 20);
                const std::wstring name = fault.prepare(dir.Path());
                std::string call = "Split";
                const std::string thrown = Thrown([&] {
                    if (split)
                        return static_cast<void>(e.Split(name, 20));
                    e.facade->FinishMediaFile();
                    call = "StartInitMediaFile";
                    e.facade->StartInitMediaFile(name);
                    call = "InitStreamVideo";
                    e.facade->InitStreamVideo(fault.records && !audioFault
                                                  ? TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, 8192, 8192)
                                                  : TestMedia::VideoRecord(Mpeg::CodecIdVideo::H263, Video()));
                    call = "InitStreamAudio";
                    if (withAudio)
                        e.facade->InitStreamAudio(audioFault ? AudioRecord(Mpeg::CodecIdAudio::Aac, 11000)
                                                             : AudioRecord());
                    call = "FinishInitMediaFile";
                    e.facade->FinishInitMediaFile();
                });
                EXPECT_EQ(call, split ? "Split" : fault.call);
                EXPECT_EQ(thrown, fault.thrown);
                EXPECT_EQ(e.facade->FinishMediaFile(), 0);
                EXPECT_FALSE(fs::exists(dir / "b.mp4") && !fs::is_symlink(dir / "b.mp4"));
                e.ExpectComplete(dir / "a.mp4", 20);
                e.ExpectRecovery(dir / "c.mp4");
            }
}

// Faults on the worker, in the second file of a split: whichever waiting call
// comes first reports the failure, once. A write that failed leaves a file
// that never gets its index: finishing it fails again, keeps its recovery
// journal, and a second finish closes it.
TEST(Faults, WorkerFailuresAreReportedOnceAndLeaveTheFirstFileIntact)
{
    const Bytes videoGarbage(4096, 0xA5), audioGarbage{0x55}; // one byte: no 16-bit sample
    struct Fault
    {
        const char* name;
        std::function<void(const Export&)> add;
        std::string thrown;
        bool writeFails, audioOnly;
    };
    const Fault faults[] = {
        {"file size limit",
         [](const Export& e) {
             FileSizeCap cap(16 * 1024);
             e.Add(20, 40);
             e.facade->EstimateFileSize(0, 1);
         },
         Av(AVERROR(EFBIG), "::av_interleaved_write_frame"), true, false},
        // The H.263 decoder answers a damaged picture header with -1 (EPERM).
        {"video the decoder rejects", [&](const Export& e) { e.Add(20, 20, &videoGarbage); },
         Av(AVERROR(EPERM), "::avcodec_send_packet"), false, false},
        {"audio the decoder rejects", [&](const Export& e) { e.Add(20, 20, nullptr, &audioGarbage); },
         Av(AVERROR_INVALIDDATA, "::avcodec_send_packet"), false, true},
    };
    for (const Fault& fault : faults)
        for (const bool withAudio : {false, true})
        {
            if (fault.audioOnly && !withAudio)
                continue;
            SCOPED_TRACE(std::string(fault.name) + (withAudio ? ", audio/video" : ", video"));
            TestMedia::TempDir dir;
            Export e(withAudio);
            e.Open(dir / "a.mp4");
            e.Add(0, 20);
            const fs::path second = dir / "b.mp4";
            ASSERT_EQ(Thrown([&] { e.Split(TestMedia::Wide(second), 20); }), "nothing");
            std::vector<std::string> reports;
            for (const auto& call : std::vector<std::function<void()>>{[&] { fault.add(e); },
                                                                       [&] { e.facade->EstimateFileSize(0, 1); },
                                                                       [&] { e.facade->EstimateFileSize(0, 1); }})
                if (std::string text = Thrown(call); text != "nothing")
                    reports.push_back(text);
            EXPECT_EQ(reports, std::vector<std::string>{fault.thrown});

            std::int64_t size = 0;
            const std::string finish = Thrown([&] { size = e.facade->FinishMediaFile(); });
            if (fault.writeFails)
            {
                EXPECT_EQ(finish.rfind("AvException", 0), 0u) << finish;
                EXPECT_TRUE(fs::exists(Mpeg::Journal::PathFor(second.string())));
                EXPECT_NE(Thrown([&] { e.Add(0, kBatch); }).find("must be opened"), std::string::npos);
                EXPECT_EQ(Thrown([&] { size = e.facade->FinishMediaFile(); }), finish);
                EXPECT_EQ(e.facade->FinishMediaFile(), 0); // nothing open any more
            }
            else
            {
                // The file keeps what came before the rejected batch: one batch at most.
                EXPECT_EQ(finish, "nothing");
                EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(second)));
                const int pictures = TestMedia::DecodeFrameCount(second, 0);
                EXPECT_LE(pictures, static_cast<int>(kBatch));
            }
            e.ExpectComplete(dir / "a.mp4", 20);
            e.ExpectRecovery(dir / "c.mp4");
        }
}
