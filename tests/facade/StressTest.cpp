// Thousands of bursts of add calls with stops, estimates, splits and finishes
// at random points, on both facades, meant to be run under ThreadSanitizer as
// well. Every packet carries a unique tag on the copy paths (nothing decodes
// it), so each file can be checked list by list: every list reaches its own
// file whole and in order, and after a stop the written lists are a prefix of
// those added and nothing added after the stop is written. A watchdog turns a
// deadlock into a failure with a message instead of a hung test run.

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace
{
namespace fs = std::filesystem;
using TestMedia::Bytes;

constexpr std::uint64_t kFrame = 400000;     // 40 ms in host units
constexpr std::uint64_t kAacFrame = 640000;  // 1024 samples at 16 kHz
constexpr int kAudioRate = 16000;
constexpr std::size_t kTagSize = 12;         // marker and serial
constexpr auto kDeadline = std::chrono::seconds(60);

// Aborts the process when the test is not done in time: a deadlock would
// otherwise hang the run until ctest's own timeout, without saying where.
class Watchdog
{
public:
    explicit Watchdog(const char* what)
        : m_thread([this, what] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, kDeadline, [this] { return m_finished; }))
              {
                  std::cerr << "watchdog: " << what << " still running after " << kDeadline.count()
                            << " s; deadlock?" << std::endl;
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

Bytes Tagged(char kind, std::uint64_t serial)
{
    Bytes tag = {static_cast<std::uint8_t>(kind), 'T', 'A', 'G'};
    for (int i = 0; i < 8; ++i)
        tag.push_back(static_cast<std::uint8_t>(serial >> (8 * i)));
    return tag;
}

// The tagged packets of a file in file order, per kind ('V' or 'A'); untagged
// ones (the silence that fills audio gaps) are left out. Read without probing:
// nothing here is meant to decode.
std::map<char, std::vector<std::uint64_t>> ReadTags(const fs::path& path)
{
    std::map<char, std::vector<std::uint64_t>> tags;
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0)
    {
        ADD_FAILURE() << "libavformat cannot open " << path;
        return tags;
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(context, packet) >= 0)
    {
        const std::size_t size = static_cast<std::size_t>(packet->size);
        if (size >= kTagSize && std::memcmp(packet->data + size - kTagSize + 1, "TAG", 3) == 0)
        {
            std::uint64_t serial = 0;
            for (int i = 0; i < 8; ++i)
                serial |= static_cast<std::uint64_t>(packet->data[size - 8 + i]) << (8 * i);
            tags[static_cast<char>(packet->data[size - kTagSize])].push_back(serial);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&context);
    return tags;
}

// One list pair as it was handed over.
struct Handed
{
    std::vector<std::uint64_t> video, audio;
    bool afterStop = false;
};

struct File
{
    fs::path path;
    std::vector<Handed> lists;
};

class Session
{
public:
    Session(bool withAudio, const fs::path& dir, std::uint32_t seed)
        : m_withAudio(withAudio), m_dir(dir), m_random(seed), m_facade(Mpeg::IFfMpegFacade::Create(withAudio))
    {
    }

    // Random operations until `bursts` bursts of add calls went in, then the
    // last file is finished.
    void Run(int bursts)
    {
        Open();
        for (int burst = 0; burst < bursts; ++burst)
        {
            for (int calls = Pick(1, 6); calls > 0; --calls)
                Add();
            const int action = Pick(0, 99);
            if (action < 12)
                EXPECT_GT(m_facade->EstimateFileSize(Pick(0, 5), Pick(0, 5)), 0);
            else if (action < 18)
                Split();
            else if (action < 21)
            {
                Finish();
                Open();
            }
            else if (action < 23 && !m_stopped)
            {
                m_facade->Stop();
                m_stopped = true;
            }
            else if (action < 40)
                std::this_thread::sleep_for(std::chrono::microseconds(Pick(0, 300)));
            // else: the next burst follows at once, while the worker may still run
        }
        Finish();
    }

    // Each file holds a prefix of the lists addressed to it, each list whole
    // and in order; all of them unless a stop came, and none added after it.
    void Check() const
    {
        for (const File& file : m_files)
        {
            SCOPED_TRACE(file.path.filename().string());
            auto tags = ReadTags(file.path);
            std::vector<std::uint64_t>& video = tags['V'];
            std::vector<std::uint64_t>& audio = tags['A'];
            std::size_t v = 0, a = 0, written = 0;
            for (const Handed& list : file.lists)
            {
                const bool whole = std::equal(list.video.begin(), list.video.end(), video.begin() + v,
                                              video.begin() + std::min(video.size(), v + list.video.size())) &&
                                   v + list.video.size() <= video.size() && a + list.audio.size() <= audio.size() &&
                                   std::equal(list.audio.begin(), list.audio.end(), audio.begin() + a);
                if (!whole)
                    break;
                v += list.video.size();
                a += list.audio.size();
                ++written;
            }
            EXPECT_EQ(v, video.size()) << "video packets outside the lists, or a list cut short";
            EXPECT_EQ(a, audio.size()) << "audio packets outside the lists, or a list cut short";
            for (std::size_t i = written; i < file.lists.size(); ++i)
                if (!file.lists[i].video.empty() || !file.lists[i].audio.empty())
                {
                    EXPECT_TRUE(m_stopped) << "list " << i << " of " << file.lists.size() << " is missing";
                    break;
                }
            for (std::size_t i = 0; i < written; ++i)
                EXPECT_FALSE(file.lists[i].afterStop && (!file.lists[i].video.empty() || !file.lists[i].audio.empty()))
                    << "list " << i << " was added after the stop and written";
        }
    }

    std::size_t Files() const { return m_files.size(); }

private:
    int Pick(int from, int to) { return std::uniform_int_distribution<int>(from, to)(m_random); }

    std::wstring NextName()
    {
        m_files.push_back(File{m_dir / ("f" + std::to_string(m_files.size()) + ".mp4"), {}});
        return TestMedia::Wide(m_files.back().path);
    }

    Mpeg::MediaPacket NextAudio()
    {
        Bytes payload = Tagged('A', m_serial++);
        Bytes packet = TestMedia::AdtsHeader(kAudioRate, payload.size());
        packet.insert(packet.end(), payload.begin(), payload.end());
        // Audio never starts before its file's video.
        m_audioTime = std::max(m_audioTime, m_videoStart);
        Mpeg::MediaPacket result{std::move(packet), m_audioTime};
        m_audioTime += kAacFrame;
        return result;
    }

    std::unique_ptr<Mpeg::StreamParametersVideo> VideoRecord() const
    {
        auto record = TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 64, 48);
        record->startTime = m_videoStart;
        return record;
    }

    void Open()
    {
        m_videoStart = m_videoTime;
        m_facade->StartInitMediaFile(NextName());
        m_facade->InitStreamVideo(VideoRecord());
        if (m_withAudio)
        {
            auto record = std::make_unique<Mpeg::StreamParametersAudio>();
            record->startTime = m_videoStart;
            record->timeScale = kAudioRate;
            record->codecId = Mpeg::CodecIdAudio::Aac;
            record->firstPacketHeader = TestMedia::AdtsHeader(kAudioRate, kTagSize);
            m_facade->InitStreamAudio(std::move(record));
        }
        m_facade->FinishInitMediaFile();
    }

    void Add()
    {
        Handed handed;
        handed.afterStop = m_stopped;
        Mpeg::MediaPacketList video, audio;
        for (int n = Pick(0, 1) ? Pick(0, 4) : Pick(5, 40); n > 0; --n)
        {
            handed.video.push_back(m_serial);
            video.push_back(std::make_unique<Mpeg::MediaPacket>(Mpeg::MediaPacket{Tagged('V', m_serial++), m_videoTime}));
            m_videoTime += kFrame;
        }
        if (m_withAudio)
        {
            // About the video's stretch; now and then nothing, which holds
            // the video back until audio comes.
            while (Pick(0, 9) > 0 && m_audioTime < m_videoTime)
            {
                Mpeg::MediaPacket packet = NextAudio();
                handed.audio.push_back(m_serial - 1);
                audio.push_back(std::make_unique<Mpeg::MediaPacket>(std::move(packet)));
            }
            m_facade->AddPacketsAudioVideo(std::move(video), std::move(audio));
        }
        else
            m_facade->AddPacketsVideo(std::move(video));
        m_files.back().lists.push_back(std::move(handed));
    }

    void Split()
    {
        m_videoStart = m_videoTime;
        const std::wstring name = NextName();
        if (!m_withAudio)
        {
            EXPECT_GT(m_facade->SplitMediaFileVideo(name, m_videoStart), 0);
            return;
        }
        // The first audio packet of the next file only describes it; the
        // host hands it over again with the next lists.
        m_audioTime = std::max(m_audioTime, m_videoStart);
        const Mpeg::MediaPacket first{TestMedia::AdtsHeader(kAudioRate, kTagSize), m_audioTime};
        EXPECT_GT(m_facade->SplitMediaFileAudioVideo(name, m_videoStart, first), 0);
    }

    void Finish() { EXPECT_GT(m_facade->FinishMediaFile(), 0); }

    bool m_withAudio;
    fs::path m_dir;
    std::mt19937 m_random;
    std::shared_ptr<Mpeg::IFfMpegFacade> m_facade;
    std::vector<File> m_files;
    std::uint64_t m_serial = 1;
    std::uint64_t m_videoTime = 10 * kFrame;
    std::uint64_t m_videoStart = 0;
    std::uint64_t m_audioTime = 0;
    bool m_stopped = false;
};

class Stress : public testing::TestWithParam<bool>
{
};

TEST_P(Stress, RandomBurstsWriteEveryListWholeOrAfterAStopNotAtAll)
{
    const bool withAudio = GetParam();
    Watchdog watchdog(withAudio ? "the audio/video stress test" : "the video stress test");
    constexpr int kSessions = 40, kBursts = 60;
    std::size_t files = 0;
    for (int session = 0; session < kSessions; ++session)
    {
        SCOPED_TRACE("session " + std::to_string(session));
        TestMedia::TempDir dir;
        Session s(withAudio, dir.Path(), static_cast<std::uint32_t>(1000 * withAudio + session));
        s.Run(kBursts);
        s.Check();
        files += s.Files();
        if (HasFailure())
            break;
    }
    EXPECT_GT(files, static_cast<std::size_t>(kSessions));
}

INSTANTIATE_TEST_SUITE_P(Facades, Stress, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "AudioVideo" : "Video"; });

} // namespace
