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
template <typename LibraryCodec>
struct CodecEntry
{
    AVCodecID av;
    LibraryCodec library;
    const char* display;
    bool inMp4;
    bool inMov;
};

// In the order the help and error messages list them.
constexpr CodecEntry<mpeg::CodecIdVideo> kVideoCodecs[] = {
    {AV_CODEC_ID_H264, mpeg::CodecIdVideo::H264, "H.264", true, true},
    {AV_CODEC_ID_HEVC, mpeg::CodecIdVideo::H265, "H.265", true, true},
    {AV_CODEC_ID_MPEG4, mpeg::CodecIdVideo::Mpeg4, "MPEG-4", true, true},
    {AV_CODEC_ID_MJPEG, mpeg::CodecIdVideo::Mjpeg, "MJPEG", true, true},
    {AV_CODEC_ID_H263, mpeg::CodecIdVideo::H263, "H.263", false, true},
    {AV_CODEC_ID_BMP, mpeg::CodecIdVideo::Bmp, "BMP", false, false},
};

constexpr CodecEntry<mpeg::CodecIdAudio> kAudioCodecs[] = {
    {AV_CODEC_ID_AAC, mpeg::CodecIdAudio::Aac, "AAC", true, true},
    {AV_CODEC_ID_MP2, mpeg::CodecIdAudio::Mp2, "MP2", true, true},
    {AV_CODEC_ID_PCM_MULAW, mpeg::CodecIdAudio::PcmMulaw, "G.711 mu-law", false, true},
    {AV_CODEC_ID_PCM_ALAW, mpeg::CodecIdAudio::PcmAlaw, "G.711 A-law", false, true},
    {AV_CODEC_ID_ADPCM_G726, mpeg::CodecIdAudio::G726, "G.726", false, false},
    {AV_CODEC_ID_ADPCM_G726LE, mpeg::CodecIdAudio::G726le, "G.726 little-endian", false, false},
    {AV_CODEC_ID_PCM_S16BE, mpeg::CodecIdAudio::PcmS16be, "PCM S16BE", false, true},
};

// Codecs the library only produces.
constexpr struct
{
    AVCodecID av;
    const char* display;
} kOutputOnly[] = {{AV_CODEC_ID_ADPCM_MS, "Microsoft ADPCM"}};

template <typename Entry, std::size_t N>
const Entry* Find(const Entry (&table)[N], AVCodecID codec)
{
    const auto it = std::find_if(std::begin(table), std::end(table), [codec](const Entry& e) { return e.av == codec; });
    return it == std::end(table) ? nullptr : &*it;
}

template <typename Entry, std::size_t N>
std::string ListOf(const Entry (&table)[N])
{
    std::string list;
    for (const Entry& entry : table)
        list += (list.empty() ? "" : ", ") + std::string(entry.display);
    return list;
}

template <typename Entry>
bool Carried(const Entry* entry, Container container)
{
    return entry && (container == Container::Mp4 ? entry->inMp4 : entry->inMov);
}
} // namespace

std::optional<mpeg::CodecIdVideo> ToLibraryVideoCodec(AVCodecID codec)
{
    const auto* entry = Find(kVideoCodecs, codec);
    return entry ? std::optional(entry->library) : std::nullopt;
}

std::optional<mpeg::CodecIdAudio> ToLibraryAudioCodec(AVCodecID codec)
{
    const auto* entry = Find(kAudioCodecs, codec);
    return entry ? std::optional(entry->library) : std::nullopt;
}

std::string SupportedVideoCodecList()
{
    return ListOf(kVideoCodecs);
}

std::string SupportedAudioCodecList()
{
    return ListOf(kAudioCodecs);
}

std::string DisplayName(AVCodecID codec)
{
    if (const auto* entry = Find(kVideoCodecs, codec))
        return entry->display;
    if (const auto* entry = Find(kAudioCodecs, codec))
        return entry->display;
    if (const auto* entry = Find(kOutputOnly, codec))
        return entry->display;
    return ShortName(codec);
}

std::string ShortName(AVCodecID codec)
{
    return avcodec_get_name(codec);
}

AVCodecID OutputVideoCodec(Container container, AVCodecID input)
{
    return Carried(Find(kVideoCodecs, input), container) ? input : AV_CODEC_ID_MPEG4;
}

AVCodecID OutputAudioCodec(Container container, AVCodecID input)
{
    if (Carried(Find(kAudioCodecs, input), container))
        return input;
    return container == Container::Mp4 ? AV_CODEC_ID_AAC : AV_CODEC_ID_ADPCM_MS;
}

std::string ReadBackName(Container container, AVCodecID written)
{
    if (container == Container::Mp4 && written == AV_CODEC_ID_MP2)
        return ShortName(AV_CODEC_ID_MP3);
    return ShortName(written);
}

bool FramesCarryChannels(AVCodecID codec)
{
    return codec == AV_CODEC_ID_AAC || codec == AV_CODEC_ID_MP2;
}

const char* ContainerName(Container container)
{
    return container == Container::Mp4 ? "mp4" : "mov";
}

} // namespace mpegexport
