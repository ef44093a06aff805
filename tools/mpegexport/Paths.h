#pragma once

// Output file names.

#include "Codecs.h"

#include <string>

namespace mpegexport
{

// The container an output name asks for (.mp4 or .mov, any case); throws
// std::runtime_error for other names.
Container ContainerOf(const std::string& path);

// Name of the file that holds part `index` of a split export: part 0 is
// `path` itself, part 1 of "out.mp4" is "out-001.mp4".
std::string PartName(const std::string& path, int index);

// "clips/in.mkv" -> "in.mp4", in the current directory.
std::string DefaultOutputName(const std::string& input);

// The library takes file names as UTF-16 code units; ours are UTF-8.
// Throws std::runtime_error for bytes that are not UTF-8.
std::wstring ToUtf16(const std::string& utf8);

} // namespace mpegexport
