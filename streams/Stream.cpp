#include "streams/Stream.h"

#include "av/AvCompat.h"
#include "av/AvHandles.h"
#include "mux/FormatContext.h"
#include "av/AvResult.h"
#include "streams/AudioHeaders.h"

#include <climits>
#include <cstring>
#include <optional>
#include <string>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
constexpr int kG726BitsPerSample = 4;

AVStream* NewStream(AVFormatContext* context)
{
    AVStream* stream = avformat_new_stream(context, nullptr);
    if (!stream)
        throw AvException("::avformat_new_stream", kAllocationFailed);
    return stream;
}

AVStream* NewInputStream(FormatContextInput& context, const StreamParametersBase& parameters)
{
    // A time base of 1/0 or a negative one makes the muxers loop or write
    // nonsense; refuse it before anything is added to the context.
    if (parameters.timeScale <= 0)
        throw FfMpegFacadeException("Stream::Stream", "timeScale must be positive");
    return NewStream(context.GetAvFormatContext());
}

// Refused before anything is added to the context; rates that are not
// positive are left to the common check.
StreamParametersAudio& WithSampleRate(StreamParametersAudio& parameters)
{
    constexpr std::int32_t low = StreamAudio::kMinSampleRate;
    constexpr std::int32_t high = StreamAudio::kMaxSampleRate;
    if (parameters.timeScale > 0 && (parameters.timeScale < low || parameters.timeScale > high))
    {
        const std::string problem =
            "timeScale must be a sample rate from " + std::to_string(low) + " to " + std::to_string(high);
        throw FfMpegFacadeException("StreamAudio::StreamAudio", problem.c_str());
    }
    return parameters;
}

// Copied AAC and MP2 declare what their frames carry: the rate and channels
// of the first frame's header stand over the record's, so that the file's
// sample entry, its clock and the silence made for the stream all match what
// decoders find in the frames.
StreamParametersAudio& WithHeaderFacts(StreamParametersAudio& parameters)
{
    const std::vector<std::uint8_t>& bytes = parameters.firstPacketHeader;
    std::optional<AudioHeader> header;
    if (parameters.codecId == CodecIdAudio::Aac)
        header = ReadAdtsHeader(bytes.data(), bytes.size());
    else if (parameters.codecId == CodecIdAudio::Mp2)
        header = ReadMpegAudioHeader(bytes.data(), bytes.size());
    if (header)
    {
        parameters.timeScale = header->sampleRate;
        if (header->channels > 0)
            parameters.channels = header->channels;
    }
    return parameters;
}

template <typename T, typename End>
bool ListContains(const T* list, End end, T value)
{
    for (; list && *list != end; ++list)
        if (*list == value)
            return true;
    return false;
}
} // namespace

void SetExtradata(AVCodecParameters& target, const std::uint8_t* data, std::size_t size)
{
    av_freep(&target.extradata);
    target.extradata_size = 0;
    if (size == 0 || size > static_cast<std::size_t>(INT_MAX))
        return;
    target.extradata = static_cast<std::uint8_t*>(av_malloc(size));
    if (!target.extradata)
        return;
    std::memcpy(target.extradata, data, size);
    target.extradata_size = static_cast<int>(size);
}

void CopyExtradata(AVCodecParameters& target, const AVCodecParameters& source)
{
    if (source.extradata_size > 0)
        SetExtradata(target, source.extradata, static_cast<std::size_t>(source.extradata_size));
}

Stream::~Stream() = default;

Stream::Stream(std::int32_t index, FormatContextInput& context, StreamParametersBase& parameters)
    : m_stream(NewInputStream(context, parameters))
{
    m_stream->index = index;
    m_stream->time_base = AVRational{1, parameters.timeScale};
    const CodecConfiguration& configuration = parameters.GetCodecConfiguration();
    AVCodecParameters* codec = m_stream->codecpar;
    codec->codec_type = static_cast<AVMediaType>(Map2Av(configuration.mediaType));
    SetExtradata(*codec, configuration.extraData.data(), configuration.extraData.size());
}

Stream::Stream(FormatContextOutput& context, const Stream& input)
    : m_stream(NewStream(context.GetAvFormatContext()))
{
    const AVStream* source = input.GetAvStream();
    m_stream->index = source->index;
    m_stream->time_base = source->time_base;
    const AVCodecParameters* sourceCodec = source->codecpar;
    const AVCodecID outputCodec = context.GetOutputCodecId(sourceCodec->codec_type, sourceCodec->codec_id);
    if (outputCodec == sourceCodec->codec_id)
    {
        CheckAvResult(avcodec_parameters_copy(m_stream->codecpar, sourceCodec), "::avcodec_parameters_copy");
        // Let the muxer pick the container's own tag.
        m_stream->codecpar->codec_tag = 0;
    }
    else
        m_stream->codecpar->codec_id = outputCodec;
}

StreamVideo::StreamVideo(std::int32_t index, FormatContextInput& context, StreamParametersVideo& parameters)
    : Stream(index, context, parameters)
{
    AVCodecParameters* codec = GetAvStream()->codecpar;
    codec->codec_id = Map2Av(parameters.codecId);
    // The declared pixel format only seeds decoders, which report the real one.
    const bool rgbDeclared = parameters.codecId == CodecIdVideo::None || parameters.codecId == CodecIdVideo::Mjpeg;
    codec->format = rgbDeclared ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_YUV420P;
    codec->width = parameters.width;
    codec->height = parameters.height;
}

StreamVideo::StreamVideo(FormatContextOutput& context, const Stream& input)
    : Stream(context, input)
{
    GetAvStream()->sample_aspect_ratio = GetAvStream()->codecpar->sample_aspect_ratio;
}

StreamVideo::~StreamVideo() = default;

StreamAudio::StreamAudio(std::int32_t index, FormatContextInput& context, StreamParametersAudio& parameters,
                         bool probeEncoder)
    : Stream(index, context, WithSampleRate(WithHeaderFacts(parameters)))
{
    AVCodecParameters* codec = GetAvStream()->codecpar;
    codec->codec_id = Map2Av(parameters.codecId);
    codec->sample_rate = parameters.timeScale;
    SetDeclaredLayout(codec->ch_layout, Map2Av(parameters.channelLayout), parameters.channels);
    codec->block_align = parameters.blockAlign;
    // The G.726 decoder needs its code size, which no record field carries:
    // 4 bits a sample (32 kbit/s at 8 kHz), the rate devices use.
    if (codec->codec_id == AV_CODEC_ID_ADPCM_G726 || codec->codec_id == AV_CODEC_ID_ADPCM_G726LE)
    {
        codec->bits_per_coded_sample = kG726BitsPerSample;
        codec->bit_rate = static_cast<std::int64_t>(kG726BitsPerSample) * parameters.timeScale;
    }

    // An input codec without an encoder in this FFmpeg build cannot be declared.
    const AVCodec* encoder = FindCodec(avcodec_find_encoder, codec->codec_id);
    if (probeEncoder)
        AllocateCodecContext(encoder);
    codec->format = GetSampleFormat(encoder);

    // ADTS: a 12-bit sync word of ones. The stream's AudioSpecificConfig is
    // the one its header implies, unless the host gave one.
    const std::vector<std::uint8_t>& header = parameters.firstPacketHeader;
    if (codec->codec_id == AV_CODEC_ID_AAC && header.size() > 2 && header[0] == 0xFF && (header[1] & 0xF0) == 0xF0)
    {
        m_hasAdtsHeaders = true;
        if (const std::optional<AudioHeader> adts = ReadAdtsHeader(header.data(), header.size()))
        {
            codec->frame_size = adts->samples;
            if (codec->extradata_size == 0)
                SetExtradata(*codec, adts->audioSpecificConfig.data(), adts->audioSpecificConfig.size());
        }
    }
    // AAC frames carry 1024 samples unless the ADTS header counts more.
    if (codec->codec_id == AV_CODEC_ID_AAC && codec->frame_size == 0)
        codec->frame_size = 1024;
    if (m_hasAdtsHeaders || codec->codec_id == AV_CODEC_ID_MP2)
        UseUsualOrder(codec->ch_layout);
}

StreamAudio::StreamAudio(FormatContextOutput& context, const StreamAudio& input)
    : Stream(context, input)
{
    const AVCodecParameters* source = input.GetCodecParameters();
    AVCodecParameters* codec = GetAvStream()->codecpar;
    codec->codec_type = source->codec_type;
    CheckAvResult(av_channel_layout_copy(&codec->ch_layout, &source->ch_layout), "::av_channel_layout_copy");
    codec->sample_rate = source->sample_rate;
    codec->format = source->format;
    codec->block_align = source->block_align;
    codec->frame_size = source->frame_size;
    CopyExtradata(*codec, *source);
    m_hasAdtsHeaders = input.HasAdtsHeaders();

    if (codec->codec_id == source->codec_id)
        return;

    const AVCodec* encoder = FindCodec(avcodec_find_encoder, codec->codec_id);
    AllocateCodecContext(encoder);

    bool rateUnchanged = false;
    if (const int* rates = SupportedSampleRates(encoder))
    {
        rateUnchanged = ListContains(rates, 0, source->sample_rate);
        if (!rateUnchanged)
        {
            codec->sample_rate = rates[0];
            GetAvStream()->time_base = AVRational{1, rates[0]};
        }
    }
    else
    {
        // Encoders that list no rates (G.711, G.726, ADPCM) are run at 8 kHz.
        rateUnchanged = source->sample_rate == 8000;
        codec->sample_rate = 8000;
        GetAvStream()->time_base = AVRational{1, 8000};
    }

    const auto sourceFormat = static_cast<AVSampleFormat>(source->format);
    const bool formatUnchanged = ListContains(SupportedSampleFormats(encoder), AV_SAMPLE_FMT_NONE, sourceFormat);
    if (!formatUnchanged)
        codec->format = GetSampleFormat(encoder);

    m_needsResampling = !(rateUnchanged && formatUnchanged);
}

StreamAudio::~StreamAudio() = default;

} // namespace Halvaro::Oru::Shared::Export::Mpeg
