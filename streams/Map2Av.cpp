// Translation of the public enumerations into FFmpeg values.

#include "container/AvCompat.h"
#include "streams/Stream.h"

#include <sstream>
#include <stdexcept>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

int Stream::Map2Av(MediaType mediaType)
{
    switch (mediaType)
    {
    case MediaType::Video: return AVMEDIA_TYPE_VIDEO;
    case MediaType::Audio: return AVMEDIA_TYPE_AUDIO;
    }
    std::ostringstream message;
    message << "mediaType '" << static_cast<std::int32_t>(mediaType)
            << "' of the passed to Stream::Map2Av is not supported.";
    throw std::out_of_range(message.str());
}

AVCodecID StreamVideo::Map2Av(CodecIdVideo codecId)
{
    const auto value = static_cast<std::int32_t>(codecId);
    std::ostringstream message;
    switch (codecId)
    {
    case CodecIdVideo::Undefined:
        message << "CodecIdVideo value passed to StreamVideo::Map2Av can not be undefined (" << value << ")";
        throw std::invalid_argument(message.str());
    case CodecIdVideo::None: return AV_CODEC_ID_NONE;
    case CodecIdVideo::Mjpeg: return AV_CODEC_ID_MJPEG;
    case CodecIdVideo::Mpeg4: return AV_CODEC_ID_MPEG4;
    case CodecIdVideo::H263: return AV_CODEC_ID_H263;
    case CodecIdVideo::Bmp: return AV_CODEC_ID_BMP;
    case CodecIdVideo::Unsupported:
        message << "CodecIdVideo value " << value << " passed to StreamVideo::Map2Av is unsupported by FFmpeg";
        throw std::invalid_argument(message.str());
    case CodecIdVideo::H264: return AV_CODEC_ID_H264;
    case CodecIdVideo::H265: return AV_CODEC_ID_HEVC;
    }
    message << "Unknown CodecIdVideo " << value << " is passed to StreamVideo::Map2Av";
    throw std::out_of_range(message.str());
}

AVCodecID StreamAudio::Map2Av(CodecIdAudio codecId)
{
    const auto value = static_cast<std::int32_t>(codecId);
    std::ostringstream message;
    switch (codecId)
    {
    case CodecIdAudio::Undefined:
        message << "CodecIdAudio value passed to StreamAudio::Map2Av can not be undefined (" << value << ")";
        throw std::invalid_argument(message.str());
    case CodecIdAudio::None: return AV_CODEC_ID_NONE;
    case CodecIdAudio::G726: return AV_CODEC_ID_ADPCM_G726;
    case CodecIdAudio::G726le: return AV_CODEC_ID_ADPCM_G726LE;
    case CodecIdAudio::PcmMulaw: return AV_CODEC_ID_PCM_MULAW;
    case CodecIdAudio::PcmAlaw: return AV_CODEC_ID_PCM_ALAW;
    case CodecIdAudio::PcmS16be: return AV_CODEC_ID_PCM_S16BE;
    case CodecIdAudio::Mp2: return AV_CODEC_ID_MP2;
    case CodecIdAudio::Aac: return AV_CODEC_ID_AAC;
    }
    message << "Unknown CodecIdAudio " << value << " is passed to StreamAudio::Map2Av.";
    throw std::out_of_range(message.str());
}

std::uint64_t StreamAudio::Map2Av(ChannelLayout channelLayout)
{
    const auto value = static_cast<std::int32_t>(channelLayout);
    std::ostringstream message;
    switch (channelLayout)
    {
    case ChannelLayout::Undefined:
        message << "channelLayout value passed to StreamAudio::Map2Av can not be undefined (" << value << ")";
        throw std::invalid_argument(message.str());
    case ChannelLayout::Mono: return AV_CH_LAYOUT_MONO;
    }
    message << "Unknown ChannelLayout " << value << " is passed to StreamAudio::Map2Av.";
    throw std::out_of_range(message.str());
}

AVSampleFormat StreamAudio::GetSampleFormat(const AVCodec* encoder)
{
    return GetSampleFormat(encoder->id, SupportedSampleFormats(encoder));
}

AVSampleFormat StreamAudio::GetSampleFormat(AVCodecID codecId, const AVSampleFormat* formats)
{
    if (formats)
        return formats[0];
    switch (codecId)
    {
    case AV_CODEC_ID_PCM_S16BE:
    case AV_CODEC_ID_PCM_ALAW:
    case AV_CODEC_ID_ADPCM_MS:
        return AV_SAMPLE_FMT_S16;
    case AV_CODEC_ID_PCM_MULAW:
    case AV_CODEC_ID_ADPCM_G726:
    case AV_CODEC_ID_ADPCM_G726LE:
    case AV_CODEC_ID_MP2:
        return AV_SAMPLE_FMT_NONE;
    case AV_CODEC_ID_AAC:
        return AV_SAMPLE_FMT_FLTP;
    default:
        break;
    }
    std::ostringstream message;
    message << "AVCodecID '" << static_cast<int>(codecId)
            << "' passed to StreamAudio::GetSampleFormat is not supported.";
    throw std::invalid_argument(message.str());
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
