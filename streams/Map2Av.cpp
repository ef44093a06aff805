// Translation of the public enumerations into FFmpeg values.

#include "av/AvCompat.h"
#include "streams/Stream.h"

#include <sstream>
#include <stdexcept>
#include <utility>

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

namespace
{
// The FFmpeg value of `value` from `table`. Undefined and values the table
// lacks are refused with the texts hosts see: `name` is how the undefined
// message names the type, `type` how the unknown one does, `end` what closes
// the latter.
template <typename Enum, typename Result, std::size_t N>
Result Lookup(Enum value, const std::pair<Enum, Result> (&table)[N], const char* caller, const char* name,
              const char* type, const char* end)
{
    for (const auto& [from, to] : table)
        if (from == value)
            return to;
    const auto number = static_cast<std::int32_t>(value);
    std::ostringstream message;
    if (value == Enum::Undefined)
    {
        message << name << " value passed to " << caller << " can not be undefined (" << number << ")";
        throw std::invalid_argument(message.str());
    }
    message << "Unknown " << type << " " << number << " is passed to " << caller << end;
    throw std::out_of_range(message.str());
}
} // namespace

AVCodecID StreamVideo::Map2Av(CodecIdVideo codecId)
{
    static const std::pair<CodecIdVideo, AVCodecID> kTable[] = {
        {CodecIdVideo::None, AV_CODEC_ID_NONE},   {CodecIdVideo::Mjpeg, AV_CODEC_ID_MJPEG},
        {CodecIdVideo::Mpeg4, AV_CODEC_ID_MPEG4}, {CodecIdVideo::H263, AV_CODEC_ID_H263},
        {CodecIdVideo::Bmp, AV_CODEC_ID_BMP},     {CodecIdVideo::H264, AV_CODEC_ID_H264},
        {CodecIdVideo::H265, AV_CODEC_ID_HEVC}};
    if (codecId == CodecIdVideo::Unsupported)
    {
        std::ostringstream message;
        message << "CodecIdVideo value " << static_cast<std::int32_t>(codecId)
                << " passed to StreamVideo::Map2Av is unsupported by FFmpeg";
        throw std::invalid_argument(message.str());
    }
    return Lookup(codecId, kTable, "StreamVideo::Map2Av", "CodecIdVideo", "CodecIdVideo", "");
}

AVCodecID StreamAudio::Map2Av(CodecIdAudio codecId)
{
    static const std::pair<CodecIdAudio, AVCodecID> kTable[] = {
        {CodecIdAudio::None, AV_CODEC_ID_NONE},           {CodecIdAudio::G726, AV_CODEC_ID_ADPCM_G726},
        {CodecIdAudio::G726le, AV_CODEC_ID_ADPCM_G726LE}, {CodecIdAudio::PcmMulaw, AV_CODEC_ID_PCM_MULAW},
        {CodecIdAudio::PcmAlaw, AV_CODEC_ID_PCM_ALAW},    {CodecIdAudio::PcmS16be, AV_CODEC_ID_PCM_S16BE},
        {CodecIdAudio::Mp2, AV_CODEC_ID_MP2},             {CodecIdAudio::Aac, AV_CODEC_ID_AAC}};
    return Lookup(codecId, kTable, "StreamAudio::Map2Av", "CodecIdAudio", "CodecIdAudio", ".");
}

std::uint64_t StreamAudio::Map2Av(ChannelLayout channelLayout)
{
    static const std::pair<ChannelLayout, std::uint64_t> kTable[] = {{ChannelLayout::Mono, AV_CH_LAYOUT_MONO}};
    return Lookup(channelLayout, kTable, "StreamAudio::Map2Av", "channelLayout", "ChannelLayout", ".");
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
