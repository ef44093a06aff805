// Which codecs each container carries unchanged, and what it prefers
// otherwise. Filled once when the library is loaded; read-only afterwards, so
// any thread may read them without a lock.

#include "mux/FormatContext.h"

#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
// Codecs by FFmpeg's own names. A name this FFmpeg no longer knows is left
// out (libavcodec 63 dropped v308, v408 and v410): no stream can carry it.
SupportedCodecsMap Table(std::initializer_list<std::pair<const char*, const char*>> containers)
{
    SupportedCodecsMap table;
    for (const auto& [container, names] : containers)
    {
        std::istringstream list(names);
        std::unordered_set<AVCodecID>& ids = table[container];
        for (std::string name; list >> name;)
            if (const AVCodecDescriptor* descriptor = avcodec_descriptor_get_by_name(name.c_str()))
                ids.insert(descriptor->id);
    }
    return table;
}

const SupportedCodecsMap kVideoCodecs = Table({
    {"mov", "rawvideo 8bps aic avrn avrp avui cavs cinepak dirac dnxhd dpx dvvideo exr flic gif h263 h264 hap hevc "
            "jpeg2000 mjpeg mjpegb mpeg1video mpeg2video mpeg4 msmpeg4v3 msrle png prores qdraw qtrle r10k r210 rpza "
            "sgi sgirle smc svq1 svq3 targa targa_y216 tiff v210 vc1 vp3 y41p yuv4 v308 v408 v410"},
    {"mp4", "mpeg4 h264 hevc mpeg2video mpeg1video mjpeg png jpeg2000 vc1 dirac tscc2"},
});

const SupportedCodecsMap kAudioCodecs = Table({
    {"mov", "aac ac3 adpcm_ima_qt alac amr_nb amr_wb dts dvaudio eac3 evrc gsm ilbc mace3 mace6 mp1 mp2 mp3 "
            "nellymoser pcm_alaw pcm_f32be pcm_f32le pcm_f64be pcm_f64le pcm_mulaw pcm_s16be pcm_s16le pcm_s24be "
            "pcm_s24le pcm_s32be pcm_s32le pcm_s8 pcm_u8 qcelp qdm2 qdmc smv speex wmav2"},
    {"mp4", "aac mp4als mp3 mp2 ac3 eac3 dts vorbis"},
});
} // namespace

const SupportedCodecsMap& FormatContextOutput::GetSupportedCodecsMap(int mediaType)
{
    if (mediaType == AVMEDIA_TYPE_VIDEO)
        return kVideoCodecs;
    if (mediaType == AVMEDIA_TYPE_AUDIO)
        return kAudioCodecs;
    std::ostringstream message;
    message << "mediaType '" << mediaType << "' passed to FormatContextOutput::GetSupportedCodecsMap is not supported.";
    throw std::out_of_range(message.str());
}

AVCodecID FormatContextOutput::GetOutputCodecId(int mediaType, AVCodecID sourceCodecId) const
{
    const SupportedCodecsMap& table = GetSupportedCodecsMap(mediaType);
    const std::string containerType = ContainerType();
    const auto container = table.find(containerType);
    if (container == table.end())
    {
        std::ostringstream message;
        message << "containerType '" << containerType << "' not found in supported codecs map.";
        throw std::out_of_range(message.str());
    }
    if (container->second.count(sourceCodecId) != 0)
        return sourceCodecId;
    return GetPreferredCodecId(mediaType);
}

AVCodecID FormatContextOutput::GetPreferredCodecId(int mediaType) const
{
    std::ostringstream message;
    if (mediaType == AVMEDIA_TYPE_VIDEO)
        return AV_CODEC_ID_MPEG4;
    if (mediaType == AVMEDIA_TYPE_AUDIO)
    {
        const std::string containerType = ContainerType();
        if (containerType == "mov")
            return AV_CODEC_ID_ADPCM_MS;
        if (containerType == "mp4")
            return AV_CODEC_ID_AAC;
        message << "containerType '" << containerType
                << "' passed to FormatContextOutput::GetPreferredCodecId is not supported.";
        throw std::out_of_range(message.str());
    }
    message << "mediaType '" << mediaType << "' passed to FormatContextOutput::GetPreferredCodecId is not supported.";
    throw std::out_of_range(message.str());
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
