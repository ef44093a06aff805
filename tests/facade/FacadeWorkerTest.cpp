// The facade's call order, its refusals, and the worker thread behind the add
// calls: ordering, stop, failures carried back to the host, shutdown.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

namespace
{
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using TestMedia::StrError;
using TestMedia::Thrown;
using TestMedia::VideoRecord;
using Video = Mpeg::CodecIdVideo;

constexpr std::uint64_t kFrame = 400000; // 40 ms in host units

// H.263 takes the transcode path into MP4; at 1408x1152 a list of 60 takes
// some 200 ms, long enough to still be in progress while the host makes its
// next calls.
constexpr int kSlowWidth = 1408;
constexpr int kSlowHeight = 1152;
constexpr std::size_t kSlowFrames = 80;

const TestMedia::EncodedStream& SlowMedia()
{
    static const TestMedia::EncodedStream media =
        TestMedia::EncodeVideo("h263", kSlowWidth, kSlowHeight, static_cast<int>(kSlowFrames));
    return media;
}

// Returns once the worker is inside its first list: the file grows past its
// header (the list takes far longer than one buffer flush, also on a slow
// machine).
void WaitForTheWorkerToWrite(const fs::path& path)
{
    const auto header = fs::file_size(path);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (fs::file_size(path) == header && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
}

// ---------------------------------------------------------------------------
// Refusals

// What the refused calls were given is still released (the leak checker of
// the sanitizer build watches that).
TEST(FacadeMisuse, AudioCallsAreRefused)
{
    const std::string expected = "FfMpegFacadeException: FfMpegFacade: Audio-related call to video-only adapter";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    EXPECT_EQ(Thrown([&] { facade->InitStreamAudio(std::make_unique<Mpeg::StreamParametersAudio>()); }), expected);
    Mpeg::MediaPacketList video, audio;
    video.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{{1, 2}, 0}));
    audio.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{{3, 4}, 0}));
    EXPECT_EQ(Thrown([&] { facade->AddPacketsAudioVideo(std::move(video), std::move(audio)); }), expected);
    const Mpeg::MediaPacket first{{1, 2, 3, 4, 5, 6, 7, 8}, 10};
    EXPECT_EQ(Thrown([&] { facade->SplitMediaFileAudioVideo(L"/nonexistent/split.mp4", 10, first); }), expected);
    EXPECT_EQ(first.data.size(), 8u);
}

// Calls out of order are refused without harm: a file given up before it was
// opened leaves nothing behind, and the facade goes on with the next one.
TEST(FacadeMisuse, CallsOutOfOrderAreRefusedAndTheFacadeCarriesOn)
{
    const auto media = TestMedia::EncodeVideo("mpeg4", 96, 64, 4);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    auto packets = [&] { return TestMedia::ToHostPackets(media, 0, kFrame); };
    auto mpeg4 = [] { return VideoRecord(Video::Mpeg4, 96, 64); };
    const std::string refused = "FfMpegFacadeException: FfMpegFacade: FfMpegFacadeBase::";
    const std::string noInit = refused + "InitStreamVideo: m_inputFormatContext and m_outputFormatContext must be "
                                         "initialized first";
    const std::string noStream = refused + "FinishInitMediaFile: m_outputFormatContext and m_streamProcessorVideo "
                                           "must be initialized first";
    const std::string noSplit = refused + "SplitMediaFileVideo: m_streamProcessorVideo must be initialized first";
    const std::string notOpen = refused + "AddPacketsVideo: the file must be opened with FinishInitMediaFile first";
    const std::string noEstimate = refused + "EstimateFileSize: no file is open";

    EXPECT_EQ(Thrown([&] { facade->InitStreamVideo(mpeg4()); }), noInit);
    EXPECT_EQ(Thrown([&] { facade->FinishInitMediaFile(); }), noStream);
    EXPECT_EQ(Thrown([&] { facade->AddPacketsVideo(packets()); }), notOpen);
    EXPECT_EQ(Thrown([&] { facade->EstimateFileSize(1, 1); }), noEstimate);
    EXPECT_EQ(Thrown([&] { facade->SplitMediaFileVideo(TestMedia::Wide(dir / "x.mp4"), 0); }), noSplit);

    // Started; a stream the build refuses is not installed.
    facade->StartInitMediaFile(TestMedia::Wide(dir / "given-up.mp4"));
    EXPECT_EQ(Thrown([&] { facade->InitStreamVideo(VideoRecord(Video::None, 96, 64)); }),
              "AvException " + std::to_string(-AVERROR_EXIT) + ": FfMpegFacade: Codec id '0' not found.: " +
                  StrError(AVERROR_EXIT));
    EXPECT_EQ(Thrown([&] { facade->FinishInitMediaFile(); }), noStream);
    EXPECT_EQ(Thrown([&] { facade->SplitMediaFileVideo(TestMedia::Wide(dir / "x.mp4"), 0); }), noSplit);
    // Described, but not opened.
    facade->InitStreamVideo(mpeg4());
    EXPECT_EQ(Thrown([&] { facade->AddPacketsVideo(packets()); }), notOpen);
    EXPECT_EQ(Thrown([&] { facade->EstimateFileSize(1, 1); }), noEstimate);
    EXPECT_EQ(facade->FinishMediaFile(), 0);

    facade->StartInitMediaFile(TestMedia::Wide(dir / "kept.mov"));
    EXPECT_EQ(Thrown([&] { facade->StartInitMediaFile(TestMedia::Wide(dir / "second.mp4")); }),
              refused + "StartInitMediaFile: m_outputFormatContext || m_inputFormatContext");
    facade->InitStreamVideo(mpeg4());
    EXPECT_EQ(Thrown([&] { facade->InitStreamVideo(VideoRecord(Video::Mjpeg, 320, 240)); }),
              refused + "InitStreamVideo: m_streamProcessorVideo already initialized");
    facade->FinishInitMediaFile();
    EXPECT_EQ(Thrown([&] { facade->FinishInitMediaFile(); }),
              refused + "FinishInitMediaFile: the file is already open");
    facade->AddPacketsVideo(packets());
    facade->FinishMediaFile();

    const auto file = TestMedia::Read(dir / "kept.mov");
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
    ASSERT_EQ(file.packets.size(), 4u);
    EXPECT_TRUE(file.packets[3].data == media.packets[3]);
    for (const char* name : {"x.mp4", "given-up.mp4", "second.mp4"})
        EXPECT_FALSE(fs::exists(dir / name)) << name;
}

// ---------------------------------------------------------------------------
// Worker

// Bursts of add calls, some while a worker is busy, some after it has ended,
// empty lists mixed in: every packet reaches the file once, in order.
TEST(FacadeWorker, QuickAddCallsAreWrittenInTheOrderGiven)
{
    const auto media = TestMedia::EncodeVideo("mjpeg", 64, 48, 90);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "order.mp4", VideoRecord(Video::Mjpeg, 64, 48));
    std::size_t next = 0;
    for (std::size_t batch = 0; next < media.packets.size(); ++batch)
    {
        const std::size_t count = 1 + batch % 3;
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, next, count));
        next += count;
        if (batch % 5 == 0)
            facade->AddPacketsVideo({});
        if (batch % 9 == 0)
            std::this_thread::sleep_for(milliseconds(2));
    }
    facade->FinishMediaFile();

    const auto file = TestMedia::Read(dir / "order.mp4");
    ASSERT_EQ(file.packets.size(), media.packets.size());
    for (std::size_t i = 0; i < media.packets.size(); ++i)
        EXPECT_TRUE(file.packets[i].data == media.packets[i]) << "packet " << i;
}

// A worker still busy with its last list takes the next one itself, so the
// host's add call costs no media work.
TEST(FacadeWorker, AddCallDoesNotWaitForTheBatchInProgress)
{
    const auto& media = SlowMedia();
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "busy.mp4", VideoRecord(Video::H263, kSlowWidth, kSlowHeight));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, kSlowFrames - 1));
    WaitForTheWorkerToWrite(dir / "busy.mp4");
    const auto addStart = Clock::now();
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, kSlowFrames - 1));
    const auto addTime = Clock::now() - addStart;
    const auto finishStart = Clock::now();
    facade->FinishMediaFile();
    const auto finishTime = Clock::now() - finishStart;

    // Waiting for the worker here would move the rest of the first list from
    // the finish into the add call.
    EXPECT_LT(addTime * 4, finishTime) << "add call took "
                                       << std::chrono::duration_cast<milliseconds>(addTime).count()
                                       << " ms, finish " << std::chrono::duration_cast<milliseconds>(finishTime).count()
                                       << " ms";
    EXPECT_EQ(TestMedia::DecodeFrameCount(dir / "busy.mp4"), static_cast<int>(kSlowFrames));
}

TEST(FacadeWorker, StopFinishesTheListInProgressAndWritesNothingAfterIt)
{
    const auto& media = SlowMedia();
    TestMedia::TempDir dir;
    const fs::path path = dir / "stop.mp4";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, path, VideoRecord(Video::H263, kSlowWidth, kSlowHeight));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 60));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 60, 10));
    WaitForTheWorkerToWrite(path);
    facade->Stop();
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 70));
    facade->FinishMediaFile();
    EXPECT_EQ(TestMedia::Read(path).packets.size(), 60u);
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), 60);
}

// The file still gets its header and trailer.
TEST(FacadeWorker, AfterStopAddCallsAreAcceptedButNothingIsWritten)
{
    const auto media = TestMedia::EncodeVideo("mpeg4", 96, 64, 5);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    facade->Stop(); // no worker yet: returns at once
    TestMedia::Open(*facade, dir / "stopped.mp4", VideoRecord(Video::Mpeg4, 96, 64));
    const std::int64_t header = facade->EstimateFileSize(0, 1);
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 2));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 2));
    EXPECT_EQ(facade->EstimateFileSize(0, 1), header);
    EXPECT_GT(facade->FinishMediaFile(), header);
    // The muxer leaves a track without samples out; the file still opens.
    EXPECT_TRUE(TestMedia::Read(dir / "stopped.mp4").packets.empty());
}

// Caps the size of files this process writes, so that writes past the cap
// fail with EFBIG instead of raising SIGXFSZ.
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

// A failed header leaves a file that can only be given up. A failed write
// happens on the worker and must come back to the host, once: the header fits
// under the second cap, the packets do not (the muxer's I/O buffer holds a few
// hundred kilobytes, so the batch is larger than that).
TEST(FacadeWorker, WriteFailuresAreReportedOnceAndTheFacadeRecovers)
{
    const auto media = TestMedia::EncodeVideo("mjpeg", 704, 576, 40);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    {
        FileSizeCap cap(16);
        facade->StartInitMediaFile(TestMedia::Wide(dir / "tiny.mp4"));
        facade->InitStreamVideo(VideoRecord(Video::Mjpeg, media));
        EXPECT_EQ(Thrown([&] { facade->FinishInitMediaFile(); }),
                  "AvException 27: FfMpegFacade: ::avformat_write_header: " + StrError(AVERROR(EFBIG)));
        EXPECT_EQ(facade->FinishMediaFile(), 0);
    }
    {
        FileSizeCap cap(8 * 1024);
        TestMedia::Open(*facade, dir / "capped.mp4", VideoRecord(Video::Mjpeg, media));
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame));
        EXPECT_EQ(Thrown([&] { facade->EstimateFileSize(0, 1); }),
                  "AvException 27: FfMpegFacade: ::av_interleaved_write_frame: " + StrError(AVERROR(EFBIG)));
        EXPECT_NO_THROW(facade->EstimateFileSize(0, 1));

        // The trailer cannot be written either; a file without its index is
        // never reported finished: a second finish fails too, and closes it.
        EXPECT_THROW(facade->FinishMediaFile(), Mpeg::AvException);
        EXPECT_THROW(facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame)),
                     Mpeg::FfMpegFacadeException); // not into a torn-down muxer
        EXPECT_THROW(facade->FinishMediaFile(), Mpeg::AvException);
    }

    TestMedia::Open(*facade, dir / "after.mp4", VideoRecord(Video::Mjpeg, media));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame));
    EXPECT_GT(facade->FinishMediaFile(), 0);
    EXPECT_EQ(TestMedia::Read(dir / "after.mp4").packets.size(), 40u);
}

// A batch the decoder rejects fails the worker; whichever waiting call comes
// next reports it, once, and the lists behind it are never written. The file
// still finishes with what came before.
TEST(FacadeWorker, DecodeFailureReachesTheHostOnceAndTheFileStillFinishes)
{
    const auto media = TestMedia::EncodeVideo("h263", 176, 144, 12);
    TestMedia::TempDir dir;
    const fs::path path = dir / "garbage.mp4";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, path, VideoRecord(Video::H263, media));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 6));
    facade->EstimateFileSize(0, 1);
    Mpeg::MediaPacketList garbage;
    garbage.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{TestMedia::Bytes(4096, 0xA5), 6 * kFrame}));
    facade->AddPacketsVideo(std::move(garbage));

    int reported = 0;
    auto count = [&](const std::function<void()>& call) {
        const std::string text = Thrown(call);
        if (text == "nothing")
            return;
        ++reported;
        EXPECT_EQ(text.rfind("AvException", 0), 0u) << text;
        EXPECT_NE(text.find("FfMpegFacade: ::avcodec_"), std::string::npos) << text;
    };
    // Either this add call finds the failed worker, or it queues behind it.
    count([&] { facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 6)); });
    std::int64_t size = 0;
    count([&] { size = facade->FinishMediaFile(); });
    if (size == 0)
        count([&] { size = facade->FinishMediaFile(); });
    EXPECT_EQ(reported, 1);

    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));
    EXPECT_EQ(TestMedia::DecodeFrameCount(path), 6);
}

// Hosts should wait for the worker before letting go; one that does not gets
// the worker stopped after its batch, not a terminated process.
TEST(FacadeWorker, ReleasingAFacadeWithABusyWorkerReturns)
{
    const auto& media = SlowMedia();
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    TestMedia::Open(*facade, dir / "abandoned.mp4", VideoRecord(Video::H263, kSlowWidth, kSlowHeight));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 10));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 10));
    facade.reset();
    SUCCEED();
}

} // namespace
