#pragma once

// Which input codecs the library takes, and what each container makes of them.

#include <mpegexporter/StreamParameters.h>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <optional>
#include <string>

namespace mpegexport
{

namespace mpeg = Halvaro::Oru::Shared::Export::Mpeg;

enum class Container
{
    Mp4,
    Mov,
};

std::optional<mpeg::CodecIdVideo> ToLibraryCodec(AVCodecID codec);

// "H.264, H.265, MPEG-4, MJPEG, H.263, BMP"
std::string SupportedCodecList();
// A reader's name for an FFmpeg codec ("H.264"), FFmpeg's short name otherwise.
std::string DisplayName(AVCodecID codec);
// FFmpeg's short name ("h264"), as ffprobe reports it.
std::string ShortName(AVCodecID codec);

// The codec the container ends up with: the input's when it carries it,
// MPEG-4 part 2 otherwise.
AVCodecID OutputCodec(Container container, AVCodecID input);

const char* ContainerName(Container container);

} // namespace mpegexport
