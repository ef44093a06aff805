#include "Codecs.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <iterator>

namespace mpegexport
{
namespace
{
struct CodecEntry
{
    AVCodecID av;
    mpeg::CodecIdVideo library;
    const char* display;
    bool inMp4;
    bool inMov;
};

// In the order the help and error messages list them.
constexpr CodecEntry kCodecs[] = {
    {AV_CODEC_ID_H264, mpeg::CodecIdVideo::H264, "H.264", true, true},
    {AV_CODEC_ID_HEVC, mpeg::CodecIdVideo::H265, "H.265", true, true},
    {AV_CODEC_ID_MPEG4, mpeg::CodecIdVideo::Mpeg4, "MPEG-4", true, true},
    {AV_CODEC_ID_MJPEG, mpeg::CodecIdVideo::Mjpeg, "MJPEG", true, true},
    {AV_CODEC_ID_H263, mpeg::CodecIdVideo::H263, "H.263", false, true},
    {AV_CODEC_ID_BMP, mpeg::CodecIdVideo::Bmp, "BMP", false, false},
};

const CodecEntry* Find(AVCodecID codec)
{
    const auto it = std::find_if(std::begin(kCodecs), std::end(kCodecs),
                                 [codec](const CodecEntry& entry) { return entry.av == codec; });
    return it == std::end(kCodecs) ? nullptr : &*it;
}
} // namespace

std::optional<mpeg::CodecIdVideo> ToLibraryCodec(AVCodecID codec)
{
    const CodecEntry* entry = Find(codec);
    if (!entry)
        return std::nullopt;
    return entry->library;
}

std::string SupportedCodecList()
{
    std::string list;
    for (const CodecEntry& entry : kCodecs)
        list += (list.empty() ? "" : ", ") + std::string(entry.display);
    return list;
}

std::string DisplayName(AVCodecID codec)
{
    const CodecEntry* entry = Find(codec);
    return entry ? entry->display : ShortName(codec);
}

std::string ShortName(AVCodecID codec)
{
    return avcodec_get_name(codec);
}

AVCodecID OutputCodec(Container container, AVCodecID input)
{
    const CodecEntry* entry = Find(input);
    const bool carried = entry && (container == Container::Mp4 ? entry->inMp4 : entry->inMov);
    return carried ? input : AV_CODEC_ID_MPEG4;
}

const char* ContainerName(Container container)
{
    return container == Container::Mp4 ? "mp4" : "mov";
}

} // namespace mpegexport
