// Which codecs each container carries unchanged, and what it prefers
// otherwise. Filled once when the library is loaded; read-only afterwards, so
// any thread may read them without a lock.

#include "container/FormatContext.h"

#include "container/AvCompat.h"

#include <sstream>
#include <stdexcept>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
const SupportedCodecsMap kVideoCodecs = {
    {"mov",
     {AV_CODEC_ID_RAWVIDEO,   AV_CODEC_ID_8BPS,       AV_CODEC_ID_AIC,         AV_CODEC_ID_AVRN,
      AV_CODEC_ID_AVRP,       AV_CODEC_ID_AVUI,       AV_CODEC_ID_CAVS,        AV_CODEC_ID_CINEPAK,
      AV_CODEC_ID_DIRAC,      AV_CODEC_ID_DNXHD,      AV_CODEC_ID_DPX,         AV_CODEC_ID_DVVIDEO,
      AV_CODEC_ID_EXR,        AV_CODEC_ID_FLIC,       AV_CODEC_ID_GIF,         AV_CODEC_ID_H263,
      AV_CODEC_ID_H264,       AV_CODEC_ID_HAP,        AV_CODEC_ID_HEVC,        AV_CODEC_ID_JPEG2000,
      AV_CODEC_ID_MJPEG,      AV_CODEC_ID_MJPEGB,     AV_CODEC_ID_MPEG1VIDEO,  AV_CODEC_ID_MPEG2VIDEO,
      AV_CODEC_ID_MPEG4,      AV_CODEC_ID_MSMPEG4V3,  AV_CODEC_ID_MSRLE,       AV_CODEC_ID_PNG,
      AV_CODEC_ID_PRORES,     AV_CODEC_ID_QDRAW,      AV_CODEC_ID_QTRLE,       AV_CODEC_ID_R10K,
      AV_CODEC_ID_R210,       AV_CODEC_ID_RPZA,       AV_CODEC_ID_SGI,         AV_CODEC_ID_SGIRLE,
      AV_CODEC_ID_SMC,        AV_CODEC_ID_SVQ1,       AV_CODEC_ID_SVQ3,        AV_CODEC_ID_TARGA,
      AV_CODEC_ID_TARGA_Y216, AV_CODEC_ID_TIFF,       AV_CODEC_ID_V210,        AV_CODEC_ID_VC1,
      AV_CODEC_ID_VP3,        AV_CODEC_ID_Y41P,       AV_CODEC_ID_YUV4,
#if MPEGEXPORTER_HAS_V308_V408_V410
      AV_CODEC_ID_V308,       AV_CODEC_ID_V408,       AV_CODEC_ID_V410,
#endif
     }},
    {"mp4",
     {AV_CODEC_ID_MPEG4, AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MPEG1VIDEO,
      AV_CODEC_ID_MJPEG, AV_CODEC_ID_PNG, AV_CODEC_ID_JPEG2000, AV_CODEC_ID_VC1, AV_CODEC_ID_DIRAC,
      AV_CODEC_ID_TSCC2}},
};

const SupportedCodecsMap kAudioCodecs = {
    {"mov",
     {AV_CODEC_ID_AAC,       AV_CODEC_ID_AC3,        AV_CODEC_ID_ADPCM_IMA_QT, AV_CODEC_ID_ALAC,
      AV_CODEC_ID_AMR_NB,    AV_CODEC_ID_AMR_WB,     AV_CODEC_ID_DTS,          AV_CODEC_ID_DVAUDIO,
      AV_CODEC_ID_EAC3,      AV_CODEC_ID_EVRC,       AV_CODEC_ID_GSM,          AV_CODEC_ID_ILBC,
      AV_CODEC_ID_MACE3,     AV_CODEC_ID_MACE6,      AV_CODEC_ID_MP1,          AV_CODEC_ID_MP2,
      AV_CODEC_ID_MP3,       AV_CODEC_ID_NELLYMOSER, AV_CODEC_ID_PCM_ALAW,     AV_CODEC_ID_PCM_F32BE,
      AV_CODEC_ID_PCM_F32LE, AV_CODEC_ID_PCM_F64BE,  AV_CODEC_ID_PCM_F64LE,    AV_CODEC_ID_PCM_MULAW,
      AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S16LE,  AV_CODEC_ID_PCM_S24BE,    AV_CODEC_ID_PCM_S24LE,
      AV_CODEC_ID_PCM_S32BE, AV_CODEC_ID_PCM_S32LE,  AV_CODEC_ID_PCM_S8,       AV_CODEC_ID_PCM_U8,
      AV_CODEC_ID_QCELP,     AV_CODEC_ID_QDM2,       AV_CODEC_ID_QDMC,         AV_CODEC_ID_SMV,
      AV_CODEC_ID_SPEEX,     AV_CODEC_ID_WMAV2}},
    {"mp4",
     {AV_CODEC_ID_AAC, AV_CODEC_ID_MP4ALS, AV_CODEC_ID_MP3, AV_CODEC_ID_MP2, AV_CODEC_ID_AC3, AV_CODEC_ID_EAC3,
      AV_CODEC_ID_DTS, AV_CODEC_ID_VORBIS}},
};
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
