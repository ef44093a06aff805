// Recovery on hostile journals, two ways from each input.
// - The reader (include/mpegexporter/Journal.h) on the input as a journal,
//   seeded with those of unfinished exports. The checksum always matches, so
//   mutations reach the chunk parsers; what is read must lie within the
//   input and every packet belong to a stream.
// - mpegexport's --recover on a journal built from the input with valid
//   checksums: container names, stream counts, codecs, media types, time
//   bases, sizes, extradata, identities, packet entries and timestamps all
//   hostile, beside an unfinished file whose media data holds the entries'
//   payloads, so that recovery gets as far as remuxing them. It must answer
//   with one of its exit statuses and leave no file but the one it
//   recovers (a playlist and its segments, say).

#include "FuzzSupport.h"
#include "Tool.h"
#include "support/JournalChunks.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
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
        seeds.push_back(TestMedia::FileBytes(dir / "seed.mp4.journal"));
    }
    return seeds;
}

void ParseRaw(const std::uint8_t* data, std::size_t size)
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
}

// Mostly values at the edges of what the reader and the muxer take.
template <typename T>
T Hostile(FuzzedDataProvider& in, std::initializer_list<T> edges)
{
    const std::size_t pick = in.ConsumeIntegralInRange<std::size_t>(0, edges.size());
    return pick < edges.size() ? edges.begin()[pick] : in.ConsumeIntegral<T>();
}

std::int32_t HostileInt(FuzzedDataProvider& in)
{
    return Hostile<std::int32_t>(in, {0, 1, -1, 2, 8, 25, 1000, 8000, 48000, 90000, 65535, 65536, 1 << 20,
                                      (1 << 20) + 1, 1000000, 1000001, INT32_MAX, INT32_MIN});
}

std::int64_t HostileTime(FuzzedDataProvider& in)
{
    return Hostile<std::int64_t>(in, {0, 1, -1, 40, 1024, 3600, INT64_MAX, INT64_MIN, INT64_MIN + 1});
}

std::string HostileName(FuzzedDataProvider& in, std::initializer_list<const char*> names)
{
    const std::size_t pick = in.ConsumeIntegralInRange<std::size_t>(0, names.size());
    return pick < names.size() ? names.begin()[pick] : in.ConsumeRandomLengthString(16);
}

void Put(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
}

void RecoverBuilt(const std::uint8_t* data, std::size_t size)
{
    static const TestMedia::TempDir dir;
    const std::string media = (dir / "f.mp4").string(), journalPath = Journal::PathFor(media);
    FuzzedDataProvider in(data, size);

    // The header, for a file whose identity is known once it exists.
    Bytes mediaBytes = {0, 0, 0, 16, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0, 0, 0, 0, 0, 'm', 'd', 'a', 't'};
    Journal::Contents contents;
    contents.container =
        HostileName(in, {"mp4", "mp4", "mp4", "mov", "mov", "mov", "null", "hls", "segment", "image2", ""});
    const bool foreign = in.ConsumeIntegralInRange(0, 15) == 0;
    const std::uint32_t streamCount = in.ConsumeBool() ? in.ConsumeIntegralInRange(1, 2) : in.ConsumeIntegralInRange(0, 18);
    for (Journal::StreamEntry& s : contents.streams = std::vector<Journal::StreamEntry>(streamCount))
    {
        s.codec = HostileName(in, {"h264", "hevc", "mpeg4", "mjpeg", "h263", "aac", "mp2", "pcm_mulaw", "pcm_alaw",
                                   "pcm_s16be", "adpcm_ms", "rawvideo", "subrip", "none"});
        s.mediaType = in.ConsumeIntegralInRange<std::uint32_t>(0, 2);
        for (std::int32_t* field : {&s.timeBaseNum, &s.timeBaseDen, &s.width, &s.height, &s.sampleRate, &s.channels,
                                    &s.frameSize, &s.initialPadding, &s.blockAlign, &s.bitsPerCodedSample})
            *field = HostileInt(in);
        s.codecTag = in.ConsumeIntegral<std::uint32_t>();
        s.bitRate = HostileTime(in);
        s.extradata = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 64));
    }

    // Packets, one of them maybe of a stream the header lacks: their payloads
    // are the media data, unless left out.
    const std::int64_t mediaSize = HostileTime(in);
    std::vector<Journal::PacketEntry> entries;
    for (int n = in.ConsumeIntegralInRange(0, 24); n > 0 && in.remaining_bytes() > 0; --n)
    {
        Journal::PacketEntry& entry = entries.emplace_back();
        entry.stream = in.ConsumeIntegralInRange<std::uint32_t>(0, streamCount);
        entry.flags = in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
        const Bytes payload = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 96));
        entry.size = static_cast<std::uint32_t>(payload.size());
        entry.checksum = Journal::PayloadChecksum(TestMedia::Crc32, payload.data(), payload.size());
        entry.pts = HostileTime(in);
        entry.dts = in.ConsumeBool() ? static_cast<std::int64_t>(static_cast<std::uint64_t>(entry.pts) - 1) : HostileTime(in);
        entry.duration = HostileTime(in);
        if (in.ConsumeIntegralInRange(0, 7) != 0)
            mediaBytes.insert(mediaBytes.end(), payload.begin(), payload.end());
    }

    Put(media, mediaBytes);
    const int fd = ::open(media.c_str(), O_RDONLY | O_CLOEXEC);
    Require(fd >= 0 && Journal::IdentityOf(fd, contents.file), "the file's identity");
    ::close(fd);
    contents.file.inode += foreign ? 1 : 0;
    std::vector<std::int64_t> previous(streamCount + 1, 0);
    Bytes journal = TestMedia::HeaderChunk(contents);
    const Bytes packets = TestMedia::PacketsChunk(mediaSize, entries, previous);
    journal.insert(journal.end(), packets.begin(), packets.end());
    Put(journalPath, journal);

    // Its refusals are one line each on stderr: millions of them here.
    const int savedStderr = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDERR_FILENO);
    const int status = mpegexport::Recover(media, true);
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    ::close(null);

    Require(status == 0 || status == 1 || (status >= 3 && status <= 7), "an undocumented exit status");
    const std::set<std::string> left = TestMedia::Listing(dir.Path());
    if (status == 0)
    {
        Require(left == std::set<std::string>{"f.mp4"}, "recovery left files besides the one it recovered");
        const Bytes recovered = TestMedia::FileBytes(media);
        Require(recovered.size() >= 8 && std::string(recovered.begin() + 4, recovered.begin() + 8) == "ftyp",
                "the recovered file is no MP4/MOV");
    }
    else
        Require(left == std::set<std::string>{"f.mp4", "f.mp4.journal"}, "refused recovery changed files");
    for (const std::string& name : left)
        std::filesystem::remove(dir / name);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Initialize(MakeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ParseRaw(data, size);
    RecoverBuilt(data, size);
    return 0;
}
