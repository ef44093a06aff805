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

std::optional<mpeg::CodecIdVideo> ToLibraryVideoCodec(AVCodecID codec);
std::optional<mpeg::CodecIdAudio> ToLibraryAudioCodec(AVCodecID codec);

// "H.264, H.265, MPEG-4, MJPEG, H.263, BMP"
std::string SupportedVideoCodecList();
// "AAC, MP2, G.711 mu-law, ..."
std::string SupportedAudioCodecList();
// A reader's name for an FFmpeg codec ("H.264"), FFmpeg's short name otherwise.
std::string DisplayName(AVCodecID codec);
// FFmpeg's short name ("h264"), as ffprobe reports it.
std::string ShortName(AVCodecID codec);

// The codec the container ends up with: the input's when it carries it,
// otherwise what the library transcodes into (MPEG-4 part 2 for video; AAC
// in MP4 and Microsoft ADPCM in MOV for audio).
AVCodecID OutputVideoCodec(Container container, AVCodecID input);
AVCodecID OutputAudioCodec(Container container, AVCodecID input);

// FFmpeg's short name for the codec as it reads the written file back. MP4
// marks MP2 as MPEG-1 audio, which FFmpeg reads as MP3 whatever the layer.
std::string ReadBackName(Container container, AVCodecID written);

// Whether the codec's frames say how many channels they hold (AAC, MP2), so
// that declaring the stream mono does no harm.
bool FramesCarryChannels(AVCodecID codec);

// The one G.726 code size the library decodes (32 kbit/s at 8 kHz): the
// stream record has no field for it.
constexpr int kLibraryG726BitsPerSample = 4;

const char* ContainerName(Container container);

} // namespace mpegexport
