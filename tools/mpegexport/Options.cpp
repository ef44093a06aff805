#include "Options.h"

#include "Codecs.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace mpegexport
{

namespace
{
const char* const kUsage =
    "usage: mpegexport [options] [INPUT] [OUTPUT]\n"
    "\n"
    "Exports the first video stream of INPUT (any file FFmpeg reads: mkv, mp4,\n"
    "mov, ts, raw .h264/.hevc/.mjpeg, ...) and its first audio stream to OUTPUT\n"
    "through the mpegexporter library. OUTPUT ends in .mp4 or .mov, which picks\n"
    "the container; it defaults to INPUT's name with .mp4, in the current\n"
    "directory.\n"
    "\n"
    "Video codecs taken:\n"
    "  %VIDEO%\n"
    "Video the container does not carry is transcoded to MPEG-4 part 2.\n"
    "Audio codecs taken:\n"
    "  %AUDIO%\n"
    "MP4 carries AAC and MP2 and gets the others transcoded to AAC; MOV also\n"
    "carries G.711 and PCM S16BE and gets G.726 transcoded to Microsoft ADPCM.\n"
    "PCM S16LE (as in WAV files) is handed over as PCM S16BE, its bytes swapped.\n"
    "\n"
    "Without INPUT, makes a 10-second 1280x720 test card at 25 frames a second\n"
    "(H.264, or MPEG-4 part 2 without libx264) with a G.711 mu-law 8 kHz tone,\n"
    "white and beeping for the first 0.2 s of every second, and exports it to\n"
    "demo.mp4 (audio transcoded to AAC) and demo.mov (audio copied) in the\n"
    "current directory.\n"
    "\n"
    "Video with B-frames is refused: the library shows pictures in the order they\n"
    "arrive. A last picture cut short, which players stop at, is left out.\n"
    "\n"
    "options:\n"
    "  --time-scale N         ticks per second of the video time base (default:\n"
    "                         the input's frame rate rounded, else 90000)\n"
    "  --batch-ms N           input milliseconds handed over per call (default 1000)\n"
    "  --split-every SECONDS  start a new file at the first key picture after\n"
    "                         every SECONDS of input: OUT.mp4, OUT-001.mp4, ...\n"
    "  --stop-after SECONDS   stop the export after SECONDS of input, as a host's\n"
    "                         stop button does, and finish the file\n"
    "  --audio FILE           take the audio from FILE's first audio stream (a\n"
    "                         .wav, raw G.711 .ul/.al at 8 kHz, ADTS .aac, or any\n"
    "                         media file) instead of INPUT's; both start together\n"

    "  --no-audio             export the video alone\n"
    "  --pace N               hand the input over at N times real time, as a live\n"
    "                         source would (for trying crash recovery)\n"
    "  --recover FILE         rebuild FILE, an export that was killed or lost\n"
    "                         power, from FILE.journal into a regular file; see below\n"
    "  --json                 print a summary as JSON on stdout\n"
    "  --progress             progress lines on stderr even when it is not a terminal\n"
    "  --quiet                print nothing but errors\n"
    "  --verbose              also print FFmpeg's own error messages\n"
    "  --help                 this text\n"
    "\n"
    "Each written file is read back to check that it is complete. On failure the\n"
    "tool prints one line on stderr and exits non-zero; a partly written output is\n"
    "finished or removed.\n"
    "\n"
    "While a file is written the library keeps FILE.journal beside it, made durable\n"
    "with the file twice a second. --recover FILE matches the media data in\n"
    "FILE against it, writes the packets found through libavformat with the\n"
    "timestamps the finished export would have given them, replaces FILE and\n"
    "deletes the journal, and prints what it kept and dropped. Exit status: 0\n"
    "recovered; 3 FILE is finished (nothing to do); 4 FILE or its journal is\n"
    "missing; 5 the journal is damaged; 6 the journal does not match FILE;\n"
    "7 the journal lists no packet yet. On 3 to 7 no file is touched.\n";

double PositiveSeconds(const std::string& option, const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0 || value > 1e9)
        throw UsageError(option + " wants a positive number of seconds, not '" + text + "'");
    return value;
}

std::int64_t PositiveInteger(const std::string& option, const std::string& text, std::int64_t maximum)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value <= 0 || value > maximum)
        throw UsageError(option + " wants a whole number from 1 to " + std::to_string(maximum) + ", not '" + text +
                         "'");
    return value;
}
} // namespace

std::string UsageText()
{
    std::string text = kUsage;
    const auto fill = [&text](const std::string& placeholder, const std::string& list) {
        text.replace(text.find(placeholder), placeholder.size(), list);
    };
    fill("%VIDEO%", SupportedVideoCodecList());
    fill("%AUDIO%", SupportedAudioCodecList());
    return text;
}

Options ParseOptions(int argc, const char* const* argv)
{
    Options options;
    bool onlyNames = false;
    std::string names[2];
    int nameCount = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::string argument = argv[i];
        if (onlyNames || argument.size() < 2 || argument[0] != '-')
        {
            if (nameCount == 2)
                throw UsageError("unexpected argument '" + argument + "'");
            names[nameCount++] = argument;
            continue;
        }
        auto value = [&]() -> std::string {
            if (i + 1 == argc)
                throw UsageError(argument + " needs a value");
            return argv[++i];
        };
        if (argument == "--")
            onlyNames = true;
        else if (argument == "--help" || argument == "-h")
            options.help = true;
        else if (argument == "--json")
            options.json = true;
        else if (argument == "--quiet" || argument == "-q")
            options.quiet = true;
        else if (argument == "--verbose" || argument == "-v")
            options.verbose = true;
        else if (argument == "--progress")
            options.progress = true;
        else if (argument == "--no-audio")
            options.audio = false;
        else if (argument == "--audio")
            options.audioInput = value();
        else if (argument == "--batch-ms")
            options.batchMs = PositiveInteger(argument, value(), 3'600'000);
        else if (argument == "--time-scale")
            options.timeScale =
                static_cast<std::int32_t>(PositiveInteger(argument, value(), std::numeric_limits<std::int32_t>::max()));
        else if (argument == "--split-every")
            options.splitEvery = PositiveSeconds(argument, value());
        else if (argument == "--pace")
            options.pace = PositiveSeconds(argument, value());
        else if (argument == "--recover")
            options.recover = value();
        else if (argument == "--stop-after")
            options.stopAfter = PositiveSeconds(argument, value());
        else
            throw UsageError("unknown option '" + argument + "'");
    }
    if (!options.recover.empty() && nameCount > 0)
        throw UsageError("--recover takes the file to recover alone");
    options.input = names[0];
    options.output = names[1];
    if (!options.audioInput.empty() && !options.audio)
        throw UsageError("--audio and --no-audio contradict each other");
    if (!options.audioInput.empty() && options.input.empty())
        throw UsageError("--audio needs an INPUT; the test card brings its own tone");
    return options;
}

} // namespace mpegexport
