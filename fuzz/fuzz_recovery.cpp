// The recovery journal's reader (include/mpegexporter/Journal.h) on hostile
// journals, seeded with those of unfinished exports. The checksum always
// matches, so mutations reach the chunk parsers; what is read must lie within
// the input and every packet belong to a stream.

#include "FuzzSupport.h"

#include <mpegexporter/Journal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

namespace
{
using namespace Fuzz;
namespace Journal = Mpeg::Journal;

// The four bytes after the range are the chunk's stored checksum.
std::uint32_t Matching(std::uint32_t, const std::uint8_t* data, std::size_t size)
{
    return Journal::Reader(data + size, 4).U32();
}

void Require(bool condition, const char* what)
{
    if (!condition)
        std::fprintf(stderr, "property violated: %s\n", what), std::abort();
}

std::vector<Bytes> MakeSeeds()
{
    std::vector<Bytes> seeds;
    for (const VideoItem& item : VideoBank())
    {
        // Two batches more than half a second apart: the journal syncs once.
        const TestMedia::TempDir dir;
        Tolerate([&] {
            auto facade = Mpeg::IFfMpegFacade::Create(false);
            TestMedia::Open(*facade, dir / "seed.mp4", TestMedia::VideoRecord(item.codec, item.media));
            facade->AddPacketsVideo(TestMedia::ToHostPackets(item.media, 0, item.step, 0, 2));
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            facade->AddPacketsVideo(TestMedia::ToHostPackets(item.media, 0, item.step, 2, 2));
            facade->EstimateFileSize(0, 1); // waits for the worker
        });
        std::ifstream in(dir / "seed.mp4.journal", std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return seeds;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Initialize(MakeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Journal::Contents contents = Journal::Parse(data, size, Matching);
    Require(contents.validSize <= size, "valid size beyond the journal");
    for (const Journal::SyncPoint& sync : contents.syncs)
        Require(sync.journalSize <= contents.validSize && sync.packets <= contents.packets.size(), "sync point");
    for (const Journal::PacketEntry& entry : contents.packets)
        Require(entry.stream < contents.streams.size(), "a packet of no stream");
    std::vector<std::uint8_t> converted;
    // The input as a payload, both ways; whatever is stored converts back
    // (a start code right after another stores an empty unit, as the muxer does).
    Journal::LengthPrefixedToAnnexB(data, size, converted);
    std::vector<std::uint8_t> stored;
    Journal::AnnexBToLengthPrefixed(data, size, stored);
    Require(Journal::LengthPrefixedToAnnexB(stored.data(), stored.size(), converted), "stored units convert back");
    return 0;
}
