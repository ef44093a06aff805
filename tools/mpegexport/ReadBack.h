#pragma once

// Reads a written file back: proof that it is complete, and what it holds.

#include <cstdint>
#include <string>

namespace mpegexport
{

struct FileContents
{
    std::string codec; // FFmpeg's short name of the video codec; empty without pictures
    std::int64_t frames = 0;
    double seconds = 0;
    std::string audioCodec; // empty without an audio track
    std::int64_t audioPackets = 0;
    double audioSeconds = 0;
};

// Throws std::runtime_error when the file cannot be read as a media file, or
// has streams but neither video nor audio.
FileContents ReadBack(const std::string& path);

} // namespace mpegexport
