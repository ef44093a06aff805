// mpegexport: exports a media file's video and audio, or a built-in test
// card, to MP4 or MOV through the mpegexporter library. See --help.

#include "DemuxSource.h"
#include "Exporter.h"
#include "JoinedSource.h"
#include "Options.h"
#include "Paths.h"
#include "Recover.h"
#include "Report.h"
#include "TestCard.h"

extern "C" {
#include <libavutil/log.h>
}

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unistd.h>

namespace
{
using namespace mpegexport;

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int signal)
{
    g_interrupted = 1;
    // A second signal ends the process the usual way.
    std::signal(signal, SIG_DFL);
}

extern "C" void DiscardFfmpegLog(void*, int, const char*, va_list)
{
}

ExportSettings SettingsFor(const Options& options, const std::string& output)
{
    constexpr double ticks = kHostTicksPerSecond;
    ExportSettings settings;
    settings.output = output;
    settings.batchTicks = options.batchMs * (kHostTicksPerSecond / 1000);
    if (options.splitEvery)
        settings.splitTicks = static_cast<std::int64_t>(*options.splitEvery * ticks);
    if (options.stopAfter)
        settings.stopTicks = static_cast<std::int64_t>(*options.stopAfter * ticks);
    settings.timeScale = options.timeScale;
    if (!options.quiet && isatty(STDERR_FILENO))
        settings.progress = ExportSettings::Progress::Line;
    else if (options.progress)
        settings.progress = ExportSettings::Progress::Lines;
    settings.interrupted = [] { return g_interrupted != 0; };
    settings.pace = options.pace;
    return settings;
}

void RefuseOverwritingInput(const std::string& input, const std::string& output)
{
    std::error_code error;
    if (std::filesystem::equivalent(input, output, error))
        throw std::runtime_error("'" + output + "' is the input itself; name another output");
}

std::vector<ExportResult> ExportTestCard(const Options& options)
{
    const TestCard card;
    if (!options.quiet && !options.json)
        std::printf("made a %d-second %dx%d %s test card at %d frames a second%s\n", TestCard::kSeconds,
                    TestCard::kWidth, TestCard::kHeight, DisplayName(card.Info().video.codec).c_str(),
                    TestCard::kFps, options.audio ? " with a G.711 mu-law 8 kHz tone" : "");
    std::vector<ExportResult> results;
    for (const char* output : {"demo.mp4", "demo.mov"})
    {
        const auto reader = card.NewReader(options.audio);
        results.push_back(Export(*reader, SettingsFor(options, output)));
        if (results.back().interrupted)
            break;
    }
    return results;
}

std::vector<ExportResult> ExportFile(const Options& options)
{
    const std::string output = options.output.empty() ? DefaultOutputName(options.input) : options.output;
    ContainerOf(output); // refuse a bad name before reading the input
    RefuseOverwritingInput(options.input, output);
    using Streams = DemuxSource::Streams;
    if (options.audioInput.empty())
    {
        DemuxSource source(options.input, options.audio ? Streams::VideoAndAudio : Streams::VideoOnly);
        return {Export(source, SettingsFor(options, output))};
    }
    RefuseOverwritingInput(options.audioInput, output);
    JoinedSource source(std::make_unique<DemuxSource>(options.input, Streams::VideoOnly),
                        std::make_unique<DemuxSource>(options.audioInput, Streams::AudioOnly));
    return {Export(source, SettingsFor(options, output))};
}
} // namespace

int main(int argc, char** argv)
{
    Options options;
    try
    {
        options = ParseOptions(argc, argv);
    }
    catch (const UsageError& error)
    {
        std::fprintf(stderr, "mpegexport: %s (see mpegexport --help)\n", error.what());
        return 2;
    }
    if (options.help)
    {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    // Every failure reaches us as an error code or an exception and is
    // reported in one line; FFmpeg's own log would only repeat it in pieces.
    // The library sets the error level whenever it makes a facade.
    av_log_set_level(AV_LOG_ERROR);
    if (!options.verbose)
        av_log_set_callback(DiscardFfmpegLog);
    if (!options.recover.empty())
        return Recover(options.recover, options.quiet);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    try
    {
        const auto began = std::chrono::steady_clock::now();
        const std::vector<ExportResult> results = options.input.empty() ? ExportTestCard(options) : ExportFile(options);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

        bool interrupted = false;
        for (const ExportResult& result : results)
        {
            interrupted = interrupted || result.interrupted;
            if (!options.quiet)
                for (const std::string& note : result.notes)
                    std::fprintf(stderr, "mpegexport: note: %s\n", note.c_str());
        }
        if (options.json)
            PrintJson(stdout, results, seconds);
        else if (!options.quiet)
            PrintText(stdout, results);
        if (interrupted)
        {
            std::fprintf(stderr, "mpegexport: interrupted; the files listed were finished with what was written\n");
            return 130;
        }
        return 0;
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "mpegexport: %s\n", error.what());
        return 1;
    }
}
