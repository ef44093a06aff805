// mpegexport: a media file or a built-in test card to MP4 or MOV through the library. See --help.

#include "Tool.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <map>

#include <malloc.h>
#include <unistd.h>

namespace
{
using namespace mpegexport;

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
    "  %s\n"
    "Video the container does not carry is transcoded to MPEG-4 part 2.\n"
    "Audio codecs taken:\n"
    "  %s\n"
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
    "with the file twice a second, and a lock on FILE. --recover FILE matches the\n"
    "media data in FILE against its journal, writes the packets found through\n"
    "libavformat with the timestamps the finished export would have given them,\n"
    "makes that durable, replaces FILE and deletes the journal, and prints what it\n"
    "kept and dropped. A journal belongs to the file it was written beside: not\n"
    "to a copy. Exit status: 0 recovered; 3 FILE is finished (nothing to do);\n"
    "4 FILE or its journal is missing or not a regular file; 5 the journal is\n"
    "damaged; 6 the journal does not match FILE; 7 the journal lists no packet\n"
    "yet; 8 an export is still writing FILE. On 3 to 8 no file is touched.\n";

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int signal)
{
    g_interrupted = 1;
    std::signal(signal, SIG_DFL); // a second signal ends the process the usual way
}

extern "C" void DiscardFfmpegLog(void*, int, const char*, va_list) {}

struct Options
{
    std::string input, output, audioInput, recover;
    ExportSettings settings; // all but the output
    bool noAudio = false, json = false, quiet = false, progress = false, verbose = false, help = false;
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    CLI::App app;
    app.set_help_flag(); // --help prints our own text
    app.allow_extras();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Numbers are taken as text and checked here, so that a bad one is named as the user wrote it.
    std::map<std::string, std::string> numbers;
    for (const char* option : {"--batch-ms", "--time-scale", "--split-every", "--stop-after", "--pace"})
        app.add_option(option, numbers[option]);
    for (auto [name, text] : {std::pair{"input", &o.input}, {"output", &o.output}, {"--audio", &o.audioInput},
                              {"--recover", &o.recover}})
        app.add_option(name, *text);
    for (auto [names, flag] : {std::pair{"--no-audio", &o.noAudio}, {"--json", &o.json}, {"-q,--quiet", &o.quiet},
                               {"-v,--verbose", &o.verbose}, {"--progress", &o.progress}, {"-h,--help", &o.help}})
        app.add_flag(names, *flag);
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ArgumentMismatch& error)
    {
        const std::string what = error.what(); // "--option: 1 required TEXT missing"
        throw CLI::ValidationError(what.substr(0, what.find(':')) + " needs a value");
    }
    for (const std::string& extra : app.remaining())
        if (extra != "--")
            throw CLI::ValidationError(
                (extra.size() > 1 && extra[0] == '-' ? "unknown option '" : "unexpected argument '") + extra + "'");
    // The option's value, a positive number of seconds or with `maximum` a whole number from 1 to it, times
    // `scale`, which brings it into our units.
    const auto number = [&](const std::string& option, double scale, std::int64_t maximum = 0) {
        if (!app.count(option))
            return std::optional<double>();
        const std::string& text = numbers[option];
        char* end = nullptr;
        errno = 0;
        const double value = maximum ? double(std::strtoll(text.c_str(), &end, 10)) : std::strtod(text.c_str(), &end);
        if (errno == 0 && end != text.c_str() && *end == '\0' && std::isfinite(value) && value > 0 &&
            value <= (maximum ? maximum : 1e9))
            return std::optional(value * scale);
        const std::string wanted =
            maximum ? "a whole number from 1 to " + std::to_string(maximum) : "a positive number of seconds";
        throw CLI::ValidationError(option + " wants " + wanted + ", not '" + text + "'");
    };
    ExportSettings& s = o.settings;
    s.batchTicks = std::int64_t(number("--batch-ms", kHostTicksPerSecond / 1000, 3'600'000).value_or(s.batchTicks));
    s.timeScale = number("--time-scale", 1, INT32_MAX);
    s.splitTicks = number("--split-every", kHostTicksPerSecond);
    s.stopTicks = number("--stop-after", kHostTicksPerSecond);
    s.pace = number("--pace", 1).value_or(0);
    s.progress = !o.quiet && isatty(STDERR_FILENO) ? ExportSettings::Progress::Line
                 : o.progress                      ? ExportSettings::Progress::Lines
                                                   : ExportSettings::Progress::None;
    s.interrupted = [] { return g_interrupted != 0; };
    if (!o.recover.empty() && app.count("input"))
        throw CLI::ValidationError("--recover takes the file to recover alone");
    if (!o.audioInput.empty() && o.noAudio)
        throw CLI::ValidationError("--audio and --no-audio contradict each other");
    if (!o.audioInput.empty() && o.input.empty())
        throw CLI::ValidationError("--audio needs an INPUT; the test card brings its own tone");
    return o;
}

std::vector<ExportResult> ExportTestCard(const Options& options)
{
    TestCard card;
    if (!options.quiet && !options.json)
        std::printf("made a %d-second %dx%d %s test card at %d frames a second%s\n", TestCard::kSeconds,
                    TestCard::kWidth, TestCard::kHeight, DisplayName(card.info.video.codec).c_str(), TestCard::kFps,
                    options.noAudio ? "" : " with a G.711 mu-law 8 kHz tone");
    if (options.noAudio)
        card.info.audio.reset();
    std::vector<ExportResult> results;
    ExportSettings settings = options.settings;
    for (const char* output : {"demo.mp4", "demo.mov"})
    {
        TestCard reader = card;
        settings.output = output;
        results.push_back(Export(reader, reader, settings));
        if (results.back().interrupted)
            break;
    }
    return results;
}

std::vector<ExportResult> ExportFile(const Options& options)
{
    ExportSettings settings = options.settings;
    const std::string& output = settings.output =
        options.output.empty() ? std::filesystem::path(options.input).stem().string() + ".mp4" : options.output;
    ContainerOf(output); // refuse a bad name before reading the input
    for (const std::string& input : {options.input, options.audioInput})
        if (std::error_code error; !input.empty() && std::filesystem::equivalent(input, output, error))
            throw std::runtime_error("'" + output + "' is the input itself; name another output");
    const bool ownAudio = !options.noAudio && options.audioInput.empty();
    const auto video = OpenFile(options.input, ownAudio ? Streams::VideoAndAudio : Streams::VideoOnly);
    const auto audio = options.audioInput.empty() ? nullptr : OpenFile(options.audioInput, Streams::AudioOnly);
    return {Export(*video, audio ? *audio : *video, settings)};
}

void PrintText(const std::vector<ExportResult>& results)
{
    const auto treatment = [](AVCodecID in, AVCodecID out) {
        return DisplayName(in) + (in == out ? " copied" : " transcoded to " + DisplayName(out));
    };
    for (const ExportResult& r : results)
    {
        std::printf("%s -> %s: %s, time scale %d, %" PRId64 " of %" PRId64 " packets handed over, %.3f s%s\n",
                    r.input.c_str(), ContainerName(r.container), treatment(r.codecIn, r.codecOut).c_str(),
                    r.timeScale, r.packetsSent, r.packetsRead, r.secondsTaken,
                    r.interrupted ? " (interrupted)" : r.stopped ? " (stopped)" : "");
        if (const auto& a = r.audio)
            std::printf("  audio from %s: %s, %d Hz, %" PRId64 " of %" PRId64 " packets handed over\n",
                        a->source.c_str(), treatment(a->codecIn, a->codecOut).c_str(), a->sampleRate, a->packetsSent,
                        a->packetsRead);
        for (const WrittenFile& f : r.files)
        {
            std::printf("  %s: %" PRId64 " bytes, %" PRId64 " pictures, %.2f s", f.path.c_str(), f.bytes, f.frames,
                        f.seconds);
            if (!f.audioCodec.empty())
                std::printf("; %s audio, %" PRId64 " packets, %.2f s", f.audioCodec.c_str(), f.audioPackets,
                            f.audioSeconds);
            std::printf("\n");
        }
    }
}

void PrintJson(const std::vector<ExportResult>& results, double secondsTaken)
{
    using Json = nlohmann::ordered_json;
    const auto milli = [](double seconds) { return std::round(seconds * 1000) / 1000; };
    const auto copied = [](AVCodecID in, AVCodecID out) { return in == out ? "copied" : "transcoded"; };
    Json exports = Json::array();
    for (const ExportResult& r : results)
    {
        Json audio, files = Json::array();
        if (const auto& a = r.audio)
            audio = {{"source", a->source}, {"codecIn", avcodec_get_name(a->codecIn)},
                     {"codecOut", avcodec_get_name(a->codecOut)}, {"treatment", copied(a->codecIn, a->codecOut)},
                     {"sampleRate", a->sampleRate}, {"channels", a->channels},
                     {"packetsRead", a->packetsRead}, {"packetsSent", a->packetsSent},
                     {"packetsSkipped", a->packetsSkipped}};
        for (const WrittenFile& f : r.files)
            files.push_back({{"path", f.path}, {"bytes", f.bytes}, {"frames", f.frames},
                             {"seconds", milli(f.seconds)},
                             {"audioCodec", f.audioCodec.empty() ? Json() : Json(f.audioCodec)},
                             {"audioPackets", f.audioPackets}, {"audioSeconds", milli(f.audioSeconds)}});
        exports.push_back({{"input", r.input}, {"container", ContainerName(r.container)},
                           {"codecIn", avcodec_get_name(r.codecIn)}, {"codecOut", avcodec_get_name(r.codecOut)},
                           {"video", copied(r.codecIn, r.codecOut)}, {"timeScale", r.timeScale},
                           {"packetsRead", r.packetsRead}, {"packetsSent", r.packetsSent},
                           {"packetsSkipped", r.packetsSkipped}, {"audio", audio},
                           {"stopped", r.stopped}, {"interrupted", r.interrupted},
                           {"secondsTaken", milli(r.secondsTaken)}, {"files", files}, {"notes", r.notes}});
    }
    // An input name that is not UTF-8 is shown with replacement characters, not refused.
    const Json summary = {{"exports", exports}, {"secondsTaken", milli(secondsTaken)}};
    std::printf("%s\n", summary.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}
} // namespace

int main(int argc, char** argv)
{
    Options options;
    try
    {
        options = ParseOptions(argc, argv);
    }
    catch (const CLI::ParseError& error) // a command line the tool cannot act on, as CLI11 or we found it
    {
        std::fprintf(stderr, "mpegexport: %s (see mpegexport --help)\n", error.what());
        return 2;
    }
    if (options.help)
    {
        std::printf(kUsage, SupportedCodecs(false).c_str(), SupportedCodecs(true).c_str());
        return 0;
    }
    // Every failure is reported in one line; FFmpeg's log would only repeat it in pieces.
    av_log_set_level(AV_LOG_ERROR);
    if (!options.verbose)
        av_log_set_callback(DiscardFfmpegLog);
    if (!options.recover.empty())
        return Recover(options.recover, options.quiet);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    // The library frees each packet on its worker thread once written. With glibc's defaults the top of
    // the heap went back to the system and was faulted in again for every batch, and each picture above
    // 128 KB was mapped afresh: half again as many page faults as ffmpeg's copy. Keep as much as the
    // tool queues.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    try
    {
        const auto began = std::chrono::steady_clock::now();
        const std::vector<ExportResult> results = options.input.empty() ? ExportTestCard(options) : ExportFile(options);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        for (const ExportResult& result : results)
            for (const std::string& note : result.notes)
                if (!options.quiet)
                    std::fprintf(stderr, "mpegexport: note: %s\n", note.c_str());
        if (options.json)
            PrintJson(results, seconds);
        else if (!options.quiet)
            PrintText(results);
        if (!results.back().interrupted) // an interrupted export is the last one
            return 0;
        std::fprintf(stderr, "mpegexport: interrupted; the files listed were finished with what was written\n");
        return 130;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "mpegexport: %s\n", error.what());
        return 1;
    }
}
