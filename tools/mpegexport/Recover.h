#pragma once

// --recover: an interrupted export and its journal into a regular file.

#include <mpegexporter/Journal.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mpegexport
{
namespace journal = Halvaro::Oru::Shared::Export::Mpeg::Journal;

std::uint32_t ZlibCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// Reads `size` bytes at `offset` into `out`; false when the file is shorter.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t size, std::uint8_t* out)>;

// Where the media data of an MP4/MOV file lies, from its top-level boxes.
struct MediaLayout
{
    bool isMp4 = false;    // a box sequence that opens with an ftyp
    bool finished = false; // has a moov: nothing to recover
    bool hasMdat = false;
    std::uint64_t dataStart = 0;
    std::uint64_t dataEnd = 0; // the mdat's end, or the file's when its size was never written
};
MediaLayout WalkBoxes(const ReadAt& read, std::uint64_t fileSize);

// The journal's packets found in the media data, in journal order, each stream's first keptPerStream[s].
struct Match
{
    std::vector<std::size_t> kept; // journal indices
    std::vector<std::uint64_t> offsets;
    std::vector<std::size_t> keptPerStream;
};
// At each position takes the first stream whose next packet fits (size and checksum); stops where none does.
Match MatchPackets(const journal::Contents& contents, const ReadAt& read, std::uint64_t dataStart,
                   std::uint64_t dataEnd);

int Recover(const std::string& file, bool quiet); // returns the exit status (see --help)

} // namespace mpegexport
