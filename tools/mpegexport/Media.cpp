// The codecs and containers the tool knows, and their names.

#include "Tool.h"

#include <strings.h>

namespace mpegexport
{
namespace
{
struct CodecEntry
{
    bool audio;
    AVCodecID av;
    int library; // mpeg::CodecIdVideo or mpeg::CodecIdAudio; -1: produced only, never taken
    const char* display;
    bool inMp4, inMov;
};

// In the order the help and error messages list them.
constexpr CodecEntry kCodecs[] = {
    {false, AV_CODEC_ID_H264, int(mpeg::CodecIdVideo::H264), "H.264", true, true},
    {false, AV_CODEC_ID_HEVC, int(mpeg::CodecIdVideo::H265), "H.265", true, true},
    {false, AV_CODEC_ID_MPEG4, int(mpeg::CodecIdVideo::Mpeg4), "MPEG-4", true, true},
    {false, AV_CODEC_ID_MJPEG, int(mpeg::CodecIdVideo::Mjpeg), "MJPEG", true, true},
    {false, AV_CODEC_ID_H263, int(mpeg::CodecIdVideo::H263), "H.263", false, true},
    {false, AV_CODEC_ID_BMP, int(mpeg::CodecIdVideo::Bmp), "BMP", false, false},
    {true, AV_CODEC_ID_AAC, int(mpeg::CodecIdAudio::Aac), "AAC", true, true},
    {true, AV_CODEC_ID_MP2, int(mpeg::CodecIdAudio::Mp2), "MP2", true, true},
    {true, AV_CODEC_ID_PCM_MULAW, int(mpeg::CodecIdAudio::PcmMulaw), "G.711 mu-law", false, true},
    {true, AV_CODEC_ID_PCM_ALAW, int(mpeg::CodecIdAudio::PcmAlaw), "G.711 A-law", false, true},
    {true, AV_CODEC_ID_ADPCM_G726, int(mpeg::CodecIdAudio::G726), "G.726", false, false},
    {true, AV_CODEC_ID_ADPCM_G726LE, int(mpeg::CodecIdAudio::G726le), "G.726 little-endian", false, false},
    {true, AV_CODEC_ID_PCM_S16BE, int(mpeg::CodecIdAudio::PcmS16be), "PCM S16BE", false, true},
    {true, AV_CODEC_ID_ADPCM_MS, -1, "Microsoft ADPCM", false, false},
};

const CodecEntry* Find(AVCodecID codec, bool audio)
{
    for (const CodecEntry& entry : kCodecs)
        if (entry.av == codec && entry.audio == audio && entry.library >= 0)
            return &entry;
    return nullptr;
}
} // namespace

const char* ContainerName(Container container)
{
    return container == Container::Mp4 ? "mp4" : "mov";
}

Container ContainerOf(const std::string& path)
{
    const std::string extension = std::filesystem::path(path).extension().string();
    if (strcasecmp(extension.c_str(), ".mp4") == 0 || strcasecmp(extension.c_str(), ".mov") == 0)
        return strcasecmp(extension.c_str(), ".mp4") == 0 ? Container::Mp4 : Container::Mov;
    throw std::runtime_error("'" + path + "': the output name must end in .mp4 or .mov");
}

std::optional<int> LibraryCodec(AVCodecID codec, bool audio)
{
    const CodecEntry* entry = Find(codec, audio);
    return entry ? std::optional(entry->library) : std::nullopt;
}

std::string Unsupported(AVCodecID codec, bool audio)
{
    return std::string(audio ? "audio" : "video") + " codec " + avcodec_get_name(codec) +
           " is not supported (supported: " + SupportedCodecs(audio) + ")";
}

std::string SupportedCodecs(bool audio)
{
    std::string list;
    for (const CodecEntry& entry : kCodecs)
        if (entry.audio == audio && entry.library >= 0)
            list += (list.empty() ? "" : ", ") + std::string(entry.display);
    return list;
}

std::string DisplayName(AVCodecID codec)
{
    for (const CodecEntry& entry : kCodecs)
        if (entry.av == codec)
            return entry.display;
    return avcodec_get_name(codec);
}

AVCodecID OutputCodec(Container container, AVCodecID input, bool audio)
{
    const CodecEntry* entry = Find(input, audio);
    if (entry && (container == Container::Mp4 ? entry->inMp4 : entry->inMov))
        return input;
    return !audio ? AV_CODEC_ID_MPEG4 : container == Container::Mp4 ? AV_CODEC_ID_AAC : AV_CODEC_ID_ADPCM_MS;
}

} // namespace mpegexport
