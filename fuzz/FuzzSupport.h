#pragma once

// What the harnesses share: real encoded media made once per process (so the
// fuzzer reaches the copy and transcode paths without having to invent valid
// bitstreams), the per-process scratch directory, the list of exceptions the
// library documents, and the seed corpus writer.

#include "FuzzInput.h"
#include "support/TestMedia.h"

#include <mpegexporter/IFfMpegFacade.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Fuzz
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

// Host clock at which the harnesses start their streams (100-ns units).
constexpr std::uint64_t kClockBase = 130'000'000'000'000'000;
constexpr std::uint64_t kSecond = 10'000'000;

struct VideoItem
{
    Mpeg::CodecIdVideo codec;
    TestMedia::EncodedStream media;
    std::int32_t fps;
    std::uint64_t step; // host ticks between pictures
};

struct AudioItem
{
    Mpeg::CodecIdAudio codec;
    TestMedia::EncodedStream media;
    std::uint64_t step; // host ticks between packets
};

// A few pictures or a fraction of a second of each codec a host can declare,
// encoded on first use with this FFmpeg's encoders.
const std::vector<VideoItem>& VideoBank();
const std::vector<AudioItem>& AudioBank();

// The first bytes of a packet, as hosts fill firstPacketHeader.
Bytes Head(const Bytes& packet, std::size_t count = 8);

// A directory of this process under TMPDIR, removed at exit.
const std::filesystem::path& ScratchDir();
// Removes what a run left in the scratch directory.
void ClearScratch();
// The directory as a host names it: ASCII widened code unit by code unit.
std::wstring WideScratchDir();

// With MPEGEXPORTER_FUZZ_TRACE set, refused calls are reported on stderr,
// which shows what an input does when it is run on its own.
bool Tracing();
void Trace(const char* what);

// Runs one library call. The exceptions the library documents are its
// answers to bad input and are swallowed (false); anything else propagates
// and ends the run as a finding.
template <typename Call>
bool Tolerate(Call&& call)
{
    try
    {
        call();
        return true;
    }
    catch (const Mpeg::MpegExporterException& error)
    {
        Trace(error.what());
    }
    catch (const std::invalid_argument& error)
    {
        Trace(error.what());
    }
    catch (const std::out_of_range& error)
    {
        Trace(error.what());
    }
    catch (const std::range_error& error)
    {
        Trace(error.what());
    }
    return false;
}

// Silences FFmpeg's log and builds the media banks before the first run.
void Initialize();

// With MPEGEXPORTER_FUZZ_SEEDS=<dir> in the environment, writes the seeds
// into <dir> (created if needed) and ends the process; otherwise does nothing.
void WriteSeedsIfAsked(const std::function<std::vector<Bytes>()>& makeSeeds);

} // namespace Fuzz
