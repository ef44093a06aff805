// The crash-recovery reader of `mpegexport --recover`: a journal and the media
// file it describes, both from the fuzzer's bytes (u32 journal size, journal,
// file). The journal is parsed up to its last valid chunk, the file's boxes
// are walked and its media data matched against the journal; the packets
// found must lie inside the media data, one after another, each stream's in
// journal order, and stored Annex B units must convert back without reading
// past their packet.

#include "FuzzInput.h"
#include "FuzzSupport.h"

#include "tools/mpegexport/Recover.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace
{
using namespace Fuzz;
namespace journal = mpegexport::journal;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

Bytes ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file and journal as a crash leaves them: a few pictures handed over, then
// the facade let go without finishing. H.264 with avcC and Annex B, and the
// first other codec, in both containers.
std::vector<Bytes> MakeSeeds()
{
    std::vector<Bytes> seeds;
    bool other = false;
    for (const VideoItem& item : VideoBank())
    {
        if (item.codec != Mpeg::CodecIdVideo::H264 && other)
            continue;
        other = other || item.codec != Mpeg::CodecIdVideo::H264;
        for (const char* extension : {".mp4", ".mov"})
        {
            const auto path = ScratchDir() / (std::string("seed") + extension);
            const bool written = Tolerate([&] {
                auto facade = Mpeg::IFfMpegFacade::Create(false);
                TestMedia::Open(*facade, path, TestMedia::VideoRecord(item.codec, item.media, item.fps));
                facade->AddPacketsVideo(TestMedia::ToHostPackets(item.media, kClockBase, item.step, 0, 4));
                facade->EstimateFileSize(0, 1); // waits for the worker
            });
            const Bytes journalBytes = ReadFile(path.string() + ".journal");
            const Bytes media = ReadFile(path);
            ClearScratch();
            if (!written || journalBytes.empty())
                continue;
            Writer seed;
            seed.U32(static_cast<std::uint32_t>(journalBytes.size()));
            Bytes bytes = seed.Data();
            bytes.insert(bytes.end(), journalBytes.begin(), journalBytes.end());
            bytes.insert(bytes.end(), media.begin(), media.end());
            seeds.push_back(std::move(bytes));
        }
    }
    return seeds;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Initialize();
    WriteSeedsIfAsked(MakeSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(data, size);
    const std::size_t journalSize = std::min<std::size_t>(in.U32(), size - std::min<std::size_t>(size, 4));
    const std::uint8_t* journalBytes = size >= 4 ? data + 4 : data;
    const std::uint8_t* media = journalBytes + journalSize;
    const std::uint64_t mediaSize = static_cast<std::uint64_t>(data + size - media);

    const journal::Contents contents = journal::Parse(journalBytes, journalSize, mpegexport::ZlibCrc32);
    if (contents.validSize > journalSize)
        Fail("valid size beyond the journal");
    const mpegexport::ReadAt read = [&](std::uint64_t offset, std::size_t count, std::uint8_t* out) {
        if (offset > mediaSize || count > mediaSize - offset)
            return false;
        std::memcpy(out, media + offset, count);
        return true;
    };
    const mpegexport::MediaLayout layout = mpegexport::WalkBoxes(read, mediaSize);
    if (layout.hasMdat && (layout.dataStart > layout.dataEnd || layout.dataEnd > mediaSize))
        Fail("media data outside the file");
    if (!contents.valid || !layout.hasMdat)
        return 0;
    const mpegexport::Match match = mpegexport::MatchPackets(contents, read, layout.dataStart, layout.dataEnd);
    std::uint64_t end = layout.dataStart;
    std::vector<std::uint8_t> annexB;
    std::vector<std::size_t> last(contents.streams.size(), SIZE_MAX);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    for (std::size_t k = 0; k < match.kept.size(); ++k)
    {
        const journal::PacketEntry& entry = contents.packets[match.kept[k]];
        const std::uint64_t offset = match.offsets[k];
        if (offset < layout.dataStart || offset + entry.size > layout.dataEnd)
            Fail("a kept packet lies outside the media data");
        if (last[entry.stream] != SIZE_MAX && last[entry.stream] > match.kept[k])
            Fail("a stream's packets out of journal order");
        last[entry.stream] = match.kept[k];
        spans.emplace_back(offset, offset + entry.size);
        if (contents.streams[entry.stream].annexB)
            journal::LengthPrefixedToAnnexB(media + offset, entry.size, annexB);
    }
    std::sort(spans.begin(), spans.end());
    for (const auto& [from, to] : spans)
    {
        if (from != end)
            Fail("kept packets do not follow one another");
        end = to;
    }
    if (end != match.matchedEnd)
        Fail("matching stopped elsewhere");
    return 0;
}
