// The facade's call order, its refusals, and the worker thread behind the add
// calls: ordering, stop, failures carried back to the host, shutdown.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <thread>

// Records handed over by value must be released even when the call refuses
// them. The test binary's allocator reports when one watched block is freed.
namespace
{
std::atomic<const void*> g_watched{nullptr};
std::atomic<bool> g_watchedFreed{false};

void NoteFree(void* p) noexcept
{
    if (p && p == g_watched.load(std::memory_order_relaxed))
        g_watchedFreed = true;
}
} // namespace

void* operator new(std::size_t size)
{
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    NoteFree(p);
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    NoteFree(p);
    std::free(p);
}

namespace
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint64_t kFrame = 400000; // 40 ms in host units

void Watch(const void* p)
{
    g_watchedFreed = false;
    g_watched = p;
}

bool WatchedFreed()
{
    const bool freed = g_watchedFreed;
    g_watched = nullptr;
    return freed;
}

std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord(Mpeg::CodecIdVideo codec, int width, int height,
                                                         std::int32_t timeScale = 25)
{
    auto record = std::make_unique<Mpeg::StreamParametersVideo>();
    record->codecId = codec;
    record->width = width;
    record->height = height;
    record->timeScale = timeScale;
    return record;
}

void Open(Mpeg::IFfMpegFacade& facade, const fs::path& path, std::unique_ptr<Mpeg::StreamParametersVideo> record)
{
    facade.StartInitMediaFile(TestMedia::Wide(path));
    facade.InitStreamVideo(std::move(record));
    facade.FinishInitMediaFile();
}

template <typename Call>
std::string MessageOf(Call&& call)
{
    try
    {
        call();
    }
    catch (const Mpeg::FfMpegFacadeException& e)
    {
        return e.what();
    }
    return "(nothing thrown)";
}

Mpeg::MediaPacketList Garbage(std::uint64_t timestamp)
{
    Mpeg::MediaPacketList list;
    auto packet = std::make_unique<Mpeg::MediaPacket>();
    packet->data.assign(4096, 0xA5);
    packet->timestamp = timestamp;
    list.push_back(std::move(packet));
    return list;
}

// H.263 takes the transcode path into MP4; at 1408x1152 a list of 60 takes
// some 200 ms, long enough to still be in progress while the host makes its
// next calls 20 ms after handing it over.
constexpr int kSlowWidth = 1408;
constexpr int kSlowHeight = 1152;
constexpr std::size_t kSlowFrames = 80;

const TestMedia::EncodedStream& SlowMedia()
{
    static const TestMedia::EncodedStream media = 
        TestMedia::EncodeVideo("h263", kSlowWidth, kSlowHeight, static_cast<int>(kSlowFrames));
    return media;
}

// ---------------------------------------------------------------------------
// Refusals

TEST(FacadeMisuse, AudioCallsAreRefusedAndReleaseWhatTheyWereGiven)
{
    const std::string expected = "FfMpegFacade: Audio-related call to video-only adapter";
    auto facade = Mpeg::IFfMpegFacade::Create(false);

    auto record = std::make_unique<Mpeg::StreamParametersAudio>();
    Watch(record.get());
    EXPECT_EQ(MessageOf([&] { facade->InitStreamAudio(std::move(record)); }), expected);
    EXPECT_TRUE(WatchedFreed()) << "the audio record leaked";

    Mpeg::MediaPacketList video;
    Mpeg::MediaPacketList audio;
    video.push_back(std::make_unique<Mpeg::MediaPacket>());
    audio.push_back(std::make_unique<Mpeg::MediaPacket>());
    Watch(audio.front().get());
    EXPECT_EQ(MessageOf([&] { facade->AddPacketsAudioVideo(std::move(video), std::move(audio)); }), expected);
    EXPECT_TRUE(WatchedFreed()) << "the audio list leaked";

    const Mpeg::MediaPacket first{{1, 2, 3, 4, 5, 6, 7, 8}, 10};
    EXPECT_EQ(MessageOf([&] { facade->SplitMediaFileAudioVideo(L"/nonexistent/split.mp4", 10, first); }), expected);
    EXPECT_EQ(first.data.size(), 8u);
}

TEST(FacadeMisuse, SecondStartIsRefusedAndTheFirstFileCarriesOn)
{
    const auto media = TestMedia::EncodeVideo("mpeg4", 96, 64, 4);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    facade->StartInitMediaFile(TestMedia::Wide(dir / "first.mp4"));
    EXPECT_EQ(MessageOf([&] { facade->StartInitMediaFile(TestMedia::Wide(dir / "second.mp4")); }),
              "FfMpegFacade: FfMpegFacadeBase::StartInitMediaFile: m_outputFormatContext || m_inputFormatContext");

    facade->InitStreamVideo(VideoRecord(Mpeg::CodecIdVideo::Mpeg4, 96, 64));
    facade->FinishInitMediaFile();
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame));
    EXPECT_GT(facade->FinishMediaFile(), 0);
    EXPECT_EQ(TestMedia::Read(dir / "first.mp4").packets.size(), 4u);
    EXPECT_FALSE(fs::exists(dir / "second.mp4"));
}

TEST(FacadeMisuse, SecondVideoStreamIsRefusedAndTheFirstKeepsWorking)
{
    const auto media = TestMedia::EncodeVideo("mpeg4", 96, 64, 4);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    EXPECT_EQ(MessageOf([&] { facade->InitStreamVideo(VideoRecord(Mpeg::CodecIdVideo::Mpeg4, 96, 64)); })
                  .rfind("FfMpegFacade: FfMpegFacadeBase::InitStreamVideo: ", 0),
              0u);

    facade->StartInitMediaFile(TestMedia::Wide(dir / "one.mov"));
    facade->InitStreamVideo(VideoRecord(Mpeg::CodecIdVideo::Mpeg4, 96, 64));
    EXPECT_EQ(MessageOf([&] { facade->InitStreamVideo(VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 320, 240)); }),
              "FfMpegFacade: FfMpegFacadeBase::InitStreamVideo: m_streamProcessorVideo already initialized");
    facade->FinishInitMediaFile();
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame));
    facade->FinishMediaFile();

    const auto file = TestMedia::Read(dir / "one.mov");
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
    ASSERT_EQ(file.packets.size(), 4u);
    EXPECT_TRUE(file.packets[3].data == media.packets[3]);
}

TEST(FacadeMisuse, CallsBeforeTheFileIsOpenAreRefused)
{
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    auto packets = [] {
        Mpeg::MediaPacketList list;
        list.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{{0, 0, 1}, 0}));
        return list;
    };
    EXPECT_THROW(facade->FinishInitMediaFile(), Mpeg::FfMpegFacadeException);
    EXPECT_THROW(facade->AddPacketsVideo(packets()), Mpeg::FfMpegFacadeException);
    EXPECT_THROW(facade->EstimateFileSize(1, 1), Mpeg::FfMpegFacadeException);
    EXPECT_THROW(facade->SplitMediaFileVideo(TestMedia::Wide(dir / "x.mp4"), 0), Mpeg::FfMpegFacadeException);

    // Started, but without a video stream.
    facade->StartInitMediaFile(TestMedia::Wide(dir / "a.mp4"));
    EXPECT_THROW(facade->FinishInitMediaFile(), Mpeg::FfMpegFacadeException);
    EXPECT_THROW(facade->SplitMediaFileVideo(TestMedia::Wide(dir / "x.mp4"), 0), Mpeg::FfMpegFacadeException);
    // Described, but not opened.
    facade->InitStreamVideo(VideoRecord(Mpeg::CodecIdVideo::Mpeg4, 96, 64));
    EXPECT_THROW(facade->AddPacketsVideo(packets()), Mpeg::FfMpegFacadeException);
    EXPECT_THROW(facade->EstimateFileSize(1, 1), Mpeg::FfMpegFacadeException);

    // Finishing a file that never opened gives it up, and the facade starts afresh.
    EXPECT_EQ(facade->FinishMediaFile(), 0);
    EXPECT_FALSE(fs::exists(dir / "x.mp4"));
    const auto media = TestMedia::EncodeVideo("mpeg4", 96, 64, 3);
    Open(*facade, dir / "b.mp4", VideoRecord(Mpeg::CodecIdVideo::Mpeg4, 96, 64));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame));
    facade->FinishMediaFile();
    EXPECT_EQ(TestMedia::Read(dir / "b.mp4").packets.size(), 3u);
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
    Open(*facade, dir / "order.mp4", VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 64, 48));
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
    Open(*facade, dir / "busy.mp4", VideoRecord(Mpeg::CodecIdVideo::H263, kSlowWidth, kSlowHeight));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, kSlowFrames - 1));
    std::this_thread::sleep_for(milliseconds(20)); // let the worker take the list
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
    EXPECT_EQ(TestMedia::DecodeFrameCount(dir / "busy.mp4", 0), static_cast<int>(kSlowFrames));
}

TEST(FacadeWorker, StopFinishesTheListInProgressAndWritesNothingAfterIt)
{
    const auto& media = SlowMedia();
    TestMedia::TempDir dir;
    const fs::path path = dir / "stop.mp4";
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    Open(*facade, path, VideoRecord(Mpeg::CodecIdVideo::H263, kSlowWidth, kSlowHeight));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 60));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 60, 10));
    // The worker is inside the first list once the file grows past its header
    // (the list takes far longer than one buffer flush, also on a slow machine).
    const auto header = fs::file_size(path);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (fs::file_size(path) == header && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(1));
    facade->Stop();
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 70));
    const std::int64_t size = facade->FinishMediaFile();

    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));
    EXPECT_EQ(TestMedia::Read(path).packets.size(), 60u);
    EXPECT_EQ(TestMedia::DecodeFrameCount(path, 0), 60);
}

TEST(FacadeWorker, AfterStopAddCallsAreAcceptedButNothingIsWritten)
{
    const auto media = TestMedia::EncodeVideo("mpeg4", 96, 64, 5);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    facade->Stop(); // no worker yet: returns at once
    Open(*facade, dir / "stopped.mp4", VideoRecord(Mpeg::CodecIdVideo::Mpeg4, 96, 64));
    const std::int64_t header = facade->EstimateFileSize(0, 1);
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 2));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 2));
    EXPECT_EQ(facade->EstimateFileSize(0, 1), header);
    EXPECT_GT(facade->FinishMediaFile(), 0);
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

TEST(FacadeWorker, HeaderWriteFailureLeavesAFileThatCanBeGivenUp)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TestMedia::TempDir dir;
    fs::create_symlink("/dev/full", dir / "full.mp4");
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    facade->StartInitMediaFile(TestMedia::Wide(dir / "full.mp4"));
    facade->InitStreamVideo(VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 352, 288));
    try
    {
        facade->FinishInitMediaFile();
        ADD_FAILURE() << "writing the header to a full device succeeded";
    }
    catch (const Mpeg::AvException& e)
    {
        EXPECT_EQ(std::string(e.what()).rfind("FfMpegFacade: ::avformat_write_header: ", 0), 0u) << e.what();
        EXPECT_EQ(e.GetErrorCode(), ENOSPC);
    }
    EXPECT_EQ(facade->FinishMediaFile(), 0);
    EXPECT_NO_THROW(facade->StartInitMediaFile(TestMedia::Wide(dir / "next.mp4")));
}

// The header fits under the cap, the packets do not: the failure happens on
// the worker and must come back to the host, once. The muxer's I/O buffer
// holds a few hundred kilobytes, so the batch is larger than that.
TEST(FacadeWorker, WriteFailureIsRethrownOnceAndTheFacadeRecovers)
{
    const auto media = TestMedia::EncodeVideo("mjpeg", 704, 576, 40);
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    {
        FileSizeCap cap(8 * 1024);
        Open(*facade, dir / "capped.mp4", VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 704, 576));
        facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame));
        try
        {
            facade->EstimateFileSize(0, 1);
            ADD_FAILURE() << "the worker's failure was not reported";
        }
        catch (const Mpeg::AvException& e)
        {
            EXPECT_EQ(std::string(e.what()).rfind("FfMpegFacade: ::av_interleaved_write_frame: ", 0), 0u)
                << e.what();
            EXPECT_EQ(e.GetErrorCode(), EFBIG);
        }
        EXPECT_NO_THROW(facade->EstimateFileSize(0, 1));

        // The trailer cannot be written either; a second finish only closes.
        EXPECT_THROW(facade->FinishMediaFile(), Mpeg::AvException);
        EXPECT_NO_THROW(facade->FinishMediaFile());
    }

    Open(*facade, dir / "after.mp4", VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 704, 576));
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
    Open(*facade, path, VideoRecord(Mpeg::CodecIdVideo::H263, 176, 144));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 6));
    facade->EstimateFileSize(0, 1);
    facade->AddPacketsVideo(Garbage(6 * kFrame));

    int reported = 0;
    auto count = [&](auto&& call) {
        try
        {
            call();
        }
        catch (const Mpeg::AvException& e)
        {
            ++reported;
            EXPECT_EQ(std::string(e.what()).rfind("FfMpegFacade: ::avcodec_", 0), 0u) << e.what();
        }
    };
    // Either this add call finds the failed worker, or it queues behind it.
    count([&] { facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 6)); });
    std::int64_t size = 0;
    count([&] { size = facade->FinishMediaFile(); });
    if (size == 0)
        count([&] { size = facade->FinishMediaFile(); });
    EXPECT_EQ(reported, 1);

    EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(path)));
    EXPECT_EQ(TestMedia::DecodeFrameCount(path, 0), 6);
}

// Hosts should wait for the worker before letting go; one that does not gets
// the worker stopped after its batch, not a terminated process.
TEST(FacadeWorker, ReleasingAFacadeWithABusyWorkerReturns)
{
    const auto& media = SlowMedia();
    TestMedia::TempDir dir;
    auto facade = Mpeg::IFfMpegFacade::Create(false);
    Open(*facade, dir / "abandoned.mp4", VideoRecord(Mpeg::CodecIdVideo::H263, kSlowWidth, kSlowHeight));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 0, 10));
    facade->AddPacketsVideo(TestMedia::ToHostPackets(media, 0, kFrame, 10));
    facade.reset();
    SUCCEED();
}

} // namespace
