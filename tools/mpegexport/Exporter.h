#pragma once

// Drives one export through the library as a host application does: describe
// the streams, hand packets over in batches, split, stop, finish.

#include "Codecs.h"
#include "ReadBack.h"
#include "Source.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mpegexport
{

struct ExportSettings
{
    std::string output;
    std::int64_t batchTicks = kHostTicksPerSecond;
    std::optional<std::int64_t> splitTicks;
    std::optional<std::int64_t> stopTicks;
    std::optional<std::int32_t> timeScale; // overrides the one derived from the frame rate
    enum class Progress
    {
        None,
        Line,  // one line rewritten in place, for a terminal
        Lines, // a line every tenth of the input, for logs
    } progress = Progress::None;
    std::function<bool()> interrupted = [] { return false; };
    // Above 0: hand batches over no faster than this many times real time, as
    // a live source would (crash-recovery tests kill such an export).
    double pace = 0;
};

struct WrittenFile
{
    std::string path;
    std::int64_t bytes = 0; // as the library reported it
    FileContents contents;  // as read back
};

struct AudioResult
{
    std::string source; // the file the audio came from
    AVCodecID codecIn = AV_CODEC_ID_NONE;
    AVCodecID codecOut = AV_CODEC_ID_NONE;
    int sampleRate = 0;
    int channels = 0;
    std::int64_t packetsRead = 0;
    std::int64_t packetsSent = 0;

    bool Copied() const { return codecIn == codecOut; }
};

struct ExportResult
{
    std::string input;
    Container container = Container::Mp4;
    AVCodecID codecIn = AV_CODEC_ID_NONE;
    AVCodecID codecOut = AV_CODEC_ID_NONE;
    std::int32_t timeScale = 0;
    std::vector<WrittenFile> files;
    std::int64_t packetsRead = 0; // video
    std::int64_t packetsSent = 0; // video
    std::optional<AudioResult> audio;
    bool stopped = false;     // --stop-after ended it
    bool interrupted = false; // a signal ended it
    double secondsTaken = 0;
    std::vector<std::string> notes; // things the user should know; printed unless --quiet

    bool Copied() const { return codecIn == codecOut; }
};

// The time scale for a frame rate: the rate rounded, or 90000 without one.
std::int32_t TimeScaleFor(AVRational frameRate);

// Throws std::runtime_error with one line that names what failed and what
// became of a partly written output.
ExportResult Export(PacketSource& source, const ExportSettings& settings);

} // namespace mpegexport
