// The recovery journal's format on its own: Annex B and the muxer's stored
// form, and journals built chunk by chunk as JournalWriter builds them, read
// back with Journal::Parse.

#include "support/JournalChunks.h"

#include <gtest/gtest.h>

#include <tuple>

namespace
{
namespace Journal = Mpeg::Journal;
using TestMedia::Bytes;
using TestMedia::HeaderChunk;
using TestMedia::PacketsChunk;

Bytes Units(std::initializer_list<Bytes> units) // length-prefixed
{
    Bytes out;
    for (const Bytes& unit : units)
    {
        const std::size_t n = unit.size();
        out.insert(out.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

Journal::Contents TwoStreams()
{
    Journal::Contents c;
    c.file = {0x0123456789abcdefu, -86400, 999'999'999};
    c.container = "mov";
    Journal::StreamEntry video{"h264", 0, 1, 90000, 1920, 1080, 0, 0, 0, 0, 0, 24, 0x31637661, 0, {1, 100, 0, 31}};
    Journal::StreamEntry audio{"aac", 1, 1, 48000, 0, 0, 48000, 2, 1024, 1024, 0, 0, 0, 128000, {0x11, 0x90}};
    c.streams = {video, audio};
    return c;
}

// Streams and entries as tuples, to compare and print whole.
auto Fields(const Journal::StreamEntry& s)
{
    return std::tuple(s.codec, s.mediaType, s.timeBaseNum, s.timeBaseDen, s.width, s.height, s.sampleRate,
                      s.channels, s.frameSize, s.initialPadding, s.blockAlign, s.bitsPerCodedSample, s.codecTag,
                      s.bitRate, s.extradata);
}
auto Fields(const Journal::PacketEntry& e)
{
    return std::tuple(e.stream, e.flags, e.size, e.checksum, e.pts, e.dts, e.duration);
}
template <typename T>
auto Fields(const std::vector<T>& items)
{
    std::vector<decltype(Fields(items[0]))> fields;
    for (const T& item : items)
        fields.push_back(Fields(item));
    return fields;
}

Journal::Contents Parse(const Bytes& bytes) { return Journal::Parse(bytes.data(), bytes.size(), TestMedia::Crc32); }

// Two chunks of entries: B-pictures, negative and missing timestamps, the largest sizes.
const std::vector<Journal::PacketEntry> kFirst = {
    {0, Journal::kKey | Journal::kStartCodes, 5000, 0xdeadbeef, 0, -3000, 3000},
    {1, Journal::kKey, 371, 7, -1024, -1024, 1024},
    {0, Journal::kStartCodes, 900, 1, 9000, 0, 3000},
    {0, 0, 0, 0, 3000, 3000, 3000},
};
const std::vector<Journal::PacketEntry> kSecond = {
    {1, 0, 0xffffffffu, 0xffffffffu, INT64_MAX, INT64_MAX - 1, 0},
    {0, 0, 12, 2, INT64_MIN, INT64_MIN, 0},
    {0, Journal::kKey, 13, 3, 6000, 6000, 1},
};
} // namespace

TEST(JournalAnnexB, StoredFormIsLengthPrefixedUnitsAndBack)
{
    Bytes large = {0, 0, 1};
    large.resize(3 + 300, 0x41);
    const std::tuple<const char*, Bytes, Bytes> cases[] = { // what, Annex B, stored
        {"4-byte start codes", {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68}, Units({{0x67, 0xAA}, {0x68}})},
        {"3-byte start codes", {0, 0, 1, 0x65, 0xAA, 0xBB, 0, 0, 1, 0x41}, Units({{0x65, 0xAA, 0xBB}, {0x41}})},
        {"leading zeros", {0, 0, 0, 0, 0, 1, 0x65}, Units({{0x65}})},
        {"bytes before the first start code", {0x09, 0xF0, 0, 0, 1, 0x65}, Units({{0x65}})},
        {"an empty unit between two start codes", {0, 0, 1, 0, 0, 0, 1, 0x65}, Units({{}, {0x65}})},
        {"a start code at the end", {0, 0, 1, 0x65, 0, 0, 1}, Units({{0x65}})},
        {"zeros at the end stay", {0, 0, 1, 0x65, 0, 0}, Units({{0x65, 0, 0}})},
        {"a unit ending in a zero", {0, 0, 1, 0x65, 0, 0, 0, 0, 1, 0x41}, Units({{0x65, 0}, {0x41}})},
        {"a unit longer than 255 bytes", large, Units({Bytes(300, 0x41)})},
        {"no start code", {0x65, 0xAA}, {}},
        {"nothing", {}, {}},
    };
    Bytes stored, annexB, again;
    for (const auto& [what, given, expected] : cases)
    {
        Journal::AnnexBToLengthPrefixed(given.data(), given.size(), stored);
        EXPECT_EQ(stored, expected) << what;
        // Back with 4-byte start codes, which store the same.
        ASSERT_TRUE(Journal::LengthPrefixedToAnnexB(expected.data(), expected.size(), annexB)) << what;
        Journal::AnnexBToLengthPrefixed(annexB.data(), annexB.size(), again);
        EXPECT_EQ(again, expected) << what;
    }

    const std::tuple<const char*, Bytes, bool, Bytes> back[] = { // what, stored, whole, Annex B
        {"two units", Units({{0x67, 0xAA}, {0x68}}), true, {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68}},
        {"an empty unit", Units({{}, {0x65}}), true, {0, 0, 0, 1, 0, 0, 0, 1, 0x65}},
        {"nothing", {}, true, {}},
        {"a unit longer than the payload", {0, 0, 0, 3, 0x65, 0xAA}, false, {}},
        {"a size cut short", {0, 0, 0, 1, 0x65, 0, 0, 0}, false, {}},
    };
    for (const auto& [what, given, whole, expected] : back)
    {
        EXPECT_EQ(Journal::LengthPrefixedToAnnexB(given.data(), given.size(), annexB), whole) << what;
        EXPECT_TRUE(!whole || annexB == expected) << what;
    }
}

TEST(JournalAnnexB, TheConfigurationTellsWhetherTheMuxerRewrites)
{
    const std::tuple<const char*, Bytes, bool> cases[] = {
        {"h264", {1, 0x64, 0, 0x1F, 0xFF}, false}, // avcC
        {"h264", {0, 0, 0, 1, 0x67, 0x64}, true},
        {"h264", {0, 0, 1, 0x67, 0x64}, true},
        {"h264", {}, false},
        {"hevc", {1, 1, 0x60, 0, 0, 0, 0x90}, false}, // hvcC
        {"hevc", {0, 0, 0, 1, 0x40, 1, 0x0C}, true},
        {"hevc", {0, 0, 1, 0x40, 1, 0x0C, 1}, true},
        {"mpeg4", {0, 0, 1, 0xB0, 1, 0, 0}, false},
    };
    for (const auto& [codec, configuration, annexB] : cases)
        EXPECT_EQ(Journal::IsAnnexB(codec, configuration.data(), configuration.size()), annexB)
            << codec << ", " << configuration.size() << " bytes";
}

TEST(JournalParse, ReadsBackWhatWasWritten)
{
    const Journal::Contents written = TwoStreams();
    std::vector<std::int64_t> previous(2, 0);
    const Bytes header = HeaderChunk(written), first = PacketsChunk(4096, kFirst, previous),
                second = PacketsChunk(-1, kSecond, previous), third = PacketsChunk(8192, {}, previous);
    Bytes journal = header;
    for (const Bytes* chunk : {&first, &second, &third})
        journal.insert(journal.end(), chunk->begin(), chunk->end());

    const Journal::Contents read = Parse(journal);
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(std::tuple(read.file.inode, read.file.birthSeconds, read.file.birthNanoseconds),
              std::tuple(written.file.inode, written.file.birthSeconds, written.file.birthNanoseconds));
    EXPECT_EQ(read.container, "mov");
    EXPECT_EQ(Fields(read.streams), Fields(written.streams));
    std::vector<Journal::PacketEntry> all = kFirst;
    all.insert(all.end(), kSecond.begin(), kSecond.end());
    EXPECT_EQ(Fields(read.packets), Fields(all));
    // Only chunks written when the file was durable are sync points.
    ASSERT_EQ(read.syncs.size(), 2u);
    EXPECT_EQ(std::tuple(read.syncs[0].mediaSize, read.syncs[0].journalSize, read.syncs[0].packets),
              std::tuple(std::int64_t{4096}, std::uint64_t{header.size() + first.size()}, kFirst.size()));
    EXPECT_EQ(std::tuple(read.syncs[1].mediaSize, read.syncs[1].journalSize, read.syncs[1].packets),
              std::tuple(std::int64_t{8192}, std::uint64_t{journal.size()}, all.size()));
    EXPECT_EQ(read.validSize, journal.size());
}

// Everything before the first chunk that is cut short or wrong is read; nothing after it.
TEST(JournalParse, StopsAtTheFirstBadChunk)
{
    std::vector<std::int64_t> previous(2, 0), third(3, 0);
    const Bytes header = HeaderChunk(TwoStreams()), good = PacketsChunk(4096, kFirst, previous);
    std::vector<std::int64_t> again = previous;
    const Bytes next = PacketsChunk(8192, kSecond, previous), unknown = PacketsChunk(8192, kSecond, again, 3);
    const auto spoiled = [&](int at, int value) { Bytes b = next; return b[b.size() - at] ^= value, b; };
    const struct
    {
        const char* what;
        Bytes bad;
        bool last; // nothing follows
    } cases[] = {
        {"cut short in its body", Bytes(next.begin(), next.end() - 1), true},
        {"cut short in its size", Bytes(next.begin(), next.begin() + 6), true},
        {"a bad CRC", spoiled(1, 0x01), false},
        {"a body byte changed", spoiled(8, 0x10), false},
        {"an entry for a stream the header lacks", PacketsChunk(8192, {{2, 0, 1, 1, 0, 0, 0}}, third), false},
        {"a second header", HeaderChunk(TwoStreams()), false},
        {"entries in a chunk of an unknown kind", unknown, false},
    };
    for (const auto& c : cases)
    {
        Bytes journal = header;
        for (const Bytes* chunk : {&good, &c.bad, c.last ? nullptr : &next})
            if (chunk)
                journal.insert(journal.end(), chunk->begin(), chunk->end());
        const Journal::Contents read = Parse(journal);
        EXPECT_TRUE(read.valid) << c.what;
        EXPECT_EQ(Fields(read.packets), Fields(kFirst)) << c.what;
        EXPECT_EQ(read.syncs.size(), 1u) << c.what;
        EXPECT_EQ(read.validSize, header.size() + good.size()) << c.what;
    }
}

TEST(JournalParse, RefusesAHeaderItDoesNotKnow)
{
    const auto with = [](auto change) { Journal::Contents c = TwoStreams(); return change(c), c; };
    const std::pair<const char*, Bytes> cases[] = {
        {"packets first", [] { std::vector<std::int64_t> p(2, 0); return PacketsChunk(0, kFirst, p); }()},
        {"cut short", [] { Bytes h = HeaderChunk(TwoStreams()); return h.resize(h.size() - 1), h; }()},
        {"version 1", HeaderChunk(TwoStreams(), 1)},
        {"bytes after the last stream", HeaderChunk(TwoStreams(), Journal::kVersion, {0})},
        {"a container the library does not write", HeaderChunk(with([](auto& c) { c.container = "matroska"; }))},
        {"no streams", HeaderChunk(with([](auto& c) { c.streams.clear(); }))},
        {"17 streams", HeaderChunk(with([](auto& c) { c.streams.resize(17, TwoStreams().streams[0]); }))},
        {"a media type other than video or audio", HeaderChunk(with([](auto& c) { c.streams[0].mediaType = 2; }))},
        {"audio without a sample rate", HeaderChunk(with([](auto& c) { c.streams[1].sampleRate = 0; }))},
        {"a time base of 1/0", HeaderChunk(with([](auto& c) { c.streams[0].timeBaseDen = 0; }))},
    };
    for (const auto& [what, journal] : cases)
    {
        const Journal::Contents read = Parse(journal);
        EXPECT_EQ(std::tuple(read.valid, read.validSize, read.packets.size()), std::tuple(false, 0ul, 0ul))
            << what;
    }
}
