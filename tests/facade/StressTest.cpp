// Run under ThreadSanitizer in CI as well: the worker against add calls from
// one host thread and estimates and a stop from another, taking turns as the
// facade asks (one call at a time).

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace
{
using TestMedia::Bytes;
constexpr int kAudioRate = 16000;

// Packets carry a kind ('V', 'A') and a serial number; nothing decodes them.
Bytes Tagged(char kind, std::uint32_t serial)
{
    Bytes tag = {static_cast<std::uint8_t>(kind), 'T', 'A', 'G', 0, 0, 0, 0};
    std::memcpy(tag.data() + 4, &serial, 4);
    if (kind == 'V')
        return tag;
    Bytes packet = TestMedia::AdtsHeader(kAudioRate, tag.size());
    packet.insert(packet.end(), tag.begin(), tag.end());
    return packet;
}

// The fewest and the most of the first lists, each whole, that `written` is
// made of (empty lists fit anywhere).
std::pair<std::size_t, std::size_t> WholeLists(const std::vector<std::uint32_t>& written,
                                               const std::vector<std::vector<std::uint32_t>>& lists)
{
    std::vector<std::uint32_t> expected;
    std::pair<std::size_t, std::size_t> whole{SIZE_MAX, 0};
    for (std::size_t n = 0; n <= lists.size() && expected.size() <= written.size(); ++n)
    {
        if (expected == written)
            whole = {std::min(whole.first, n), n};
        if (n < lists.size())
            expected.insert(expected.end(), lists[n].begin(), lists[n].end());
    }
    EXPECT_NE(whole.first, SIZE_MAX) << written.size() << " packets are not a run of whole lists";
    return whole;
}
} // namespace

// Every list reaches the file whole and in order; after the stop, lists
// queued behind the one in progress and those added later are not written.
TEST(FacadeStress, AddCallsEstimatesAndStopFromTwoHostThreads)
{
    for (const bool withAudio : {false, true})
        for (std::uint32_t seed = 0; seed < 6; ++seed)
        {
            SCOPED_TRACE((withAudio ? "audio/video, seed " : "video, seed ") + std::to_string(seed));
            TestMedia::TempDir dir;
            auto facade = Mpeg::IFfMpegFacade::Create(withAudio);
            facade->StartInitMediaFile(TestMedia::Wide(dir / "stress.mp4"));
            facade->InitStreamVideo(TestMedia::VideoRecord(Mpeg::CodecIdVideo::Mjpeg, 64, 48));
            if (withAudio)
            {
                auto record = std::make_unique<Mpeg::StreamParametersAudio>();
                record->timeScale = kAudioRate;
                record->codecId = Mpeg::CodecIdAudio::Aac;
                record->firstPacketHeader = Tagged('A', 0);
                facade->InitStreamAudio(std::move(record));
            }
            facade->FinishInitMediaFile();

            std::mutex host;
            std::map<char, std::vector<std::vector<std::uint32_t>>> lists;
            std::size_t beforeStop = SIZE_MAX;
            std::thread adder([&] {
                std::mt19937 random(seed);
                std::uint32_t serial = 0;
                std::uint64_t time = 0;
                for (int afterStop = 0; afterStop < 20 && time < 2000 * 200000;)
                {
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
                    std::lock_guard<std::mutex> lock(host);
                    afterStop += beforeStop != SIZE_MAX;
                    Mpeg::MediaPacketList packets[2];
                    for (const char kind : {'V', 'A'})
                    {
                        auto& tags = lists[kind].emplace_back();
                        for (auto n = random() % (random() % 4 ? 4 : 30); n > 0 && (kind == 'V' || withAudio); --n)
                        {
                            tags.push_back(++serial);
                            packets[kind == 'A'].push_back(std::make_unique<Mpeg::MediaPacket>(
                                Mpeg::MediaPacket{Tagged(kind, serial), time += 200000}));
                        }
                    }
                    withAudio ? facade->AddPacketsAudioVideo(std::move(packets[0]), std::move(packets[1]))
                              : facade->AddPacketsVideo(std::move(packets[0]));
                }
            });
            std::thread other([&] {
                for (int i = 0; i < 20; ++i)
                {
                    std::this_thread::sleep_for(std::chrono::microseconds(300 * (seed + 1)));
                    std::lock_guard<std::mutex> lock(host);
                    EXPECT_GT(facade->EstimateFileSize(1, 1), 0);
                }
                std::lock_guard<std::mutex> lock(host);
                if (seed % 2 == 0)
                {
                    facade->Stop();
                    beforeStop = lists['V'].size();
                }
            });
            adder.join();
            other.join();
            EXPECT_GT(facade->FinishMediaFile(), 0);

            std::map<char, std::vector<std::uint32_t>> written;
            for (const auto& packet : TestMedia::Read(dir / "stress.mp4").packets)
                if (packet.data.size() >= 8 && std::memcmp(packet.data.data() + packet.data.size() - 7, "TAG", 3) == 0)
                {
                    std::uint32_t serial = 0;
                    std::memcpy(&serial, packet.data.data() + packet.data.size() - 4, 4);
                    written[static_cast<char>(packet.data[packet.data.size() - 8])].push_back(serial);
                }
            for (const char kind : {'V', 'A'})
            {
                const auto [fewest, most] = WholeLists(written[kind], lists[kind]);
                EXPECT_TRUE(fewest <= beforeStop && (beforeStop != SIZE_MAX || most == lists[kind].size()))
                    << kind << ": " << fewest << " of " << lists[kind].size() << " lists, stopped at " << beforeStop;
            }
        }
}
