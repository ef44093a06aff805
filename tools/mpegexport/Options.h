#pragma once

// The command line.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace mpegexport
{

struct Options
{
    std::string input;  // empty: the built-in test card
    std::string output; // empty: derived from the input
    std::int64_t batchMs = 1000;
    std::optional<double> splitEvery; // seconds
    std::optional<double> stopAfter;  // seconds
    std::optional<std::int32_t> timeScale;
    std::string audioInput; // empty: INPUT's own audio
    bool audio = true;      // false: --no-audio
    bool json = false;
    bool quiet = false;
    bool progress = false; // progress lines also when stderr is not a terminal
    bool verbose = false;  // FFmpeg's own error messages on stderr
    bool help = false;
    double pace = 0;     // --pace: times real time; 0 as fast as possible
    std::string recover; // --recover FILE
};

// A command line the tool cannot act on; main prints it with a pointer to --help.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

Options ParseOptions(int argc, const char* const* argv);

// The --help text.
std::string UsageText();

} // namespace mpegexport
