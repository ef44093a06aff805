#include "av/Codec.h"

#include "av/AvCompat.h"
#include "av/AvResult.h"

#include <climits>
#include <cstring>
#include <unordered_set>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

bool IsPcmFrameSizeCodec(AVCodecID codecId)
{
    static const std::unordered_set<AVCodecID> codecs = {
        AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S8,    AV_CODEC_ID_PCM_U8,
        AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_PCM_ALAW,  AV_CODEC_ID_PCM_S32LE, AV_CODEC_ID_PCM_S32BE,
        AV_CODEC_ID_PCM_S24LE, AV_CODEC_ID_PCM_S24BE, AV_CODEC_ID_PCM_F32BE, AV_CODEC_ID_PCM_F32LE,
        AV_CODEC_ID_PCM_F64BE, AV_CODEC_ID_PCM_F64LE,
    };
    return codecs.count(codecId) != 0;
}

CodecBase::CodecBase(const CodecDescription& parameters, bool globalHeader, bool encoder)
    : m_streamIndex(parameters.streamIndex), m_timeBase(parameters.timeBase)
{
    const AVCodecParameters& codecParameters = *parameters.codecParameters;
    m_codec = std::make_unique<CodecHolder>(CodecHolder{
        FindCodec(encoder ? avcodec_find_encoder : avcodec_find_decoder, codecParameters.codec_id)});
    m_context = AllocateCodecContext(m_codec->codec);
    AVCodecContext& context = *m_context;
    if (globalHeader)
        context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    context.time_base = m_timeBase;
    context.height = codecParameters.height;
    context.width = codecParameters.width;
    context.sample_aspect_ratio = codecParameters.sample_aspect_ratio;
    context.pix_fmt = static_cast<AVPixelFormat>(codecParameters.format);
    context.sample_fmt = static_cast<AVSampleFormat>(codecParameters.format);
    context.sample_rate = codecParameters.sample_rate;
    CheckAvResult(av_channel_layout_copy(&context.ch_layout, &codecParameters.ch_layout), "::av_channel_layout_copy");
    if (encoder)
        UseUsualOrder(context.ch_layout);
}

void CodecBase::Open()
{
    CheckAvResult(avcodec_open2(m_context.get(), m_codec->codec, nullptr), "::avcodec_open2");
}

Decoder::Decoder(const CodecDescription& input)
    : CodecBase(input, false, false)
{
    CheckAvResult(avcodec_parameters_to_context(GetContext(), input.codecParameters),
                  "::avcodec_parameters_to_context");
    Open();
}

FrameSequence Decoder::Decode(const OwnedPacket* packet)
{
    CheckAvResult(avcodec_send_packet(GetContext(), packet ? &packet->packet : nullptr), "::avcodec_send_packet");
    FrameSequence frames;
    for (;;)
    {
        AvFramePtr frame = AllocateFrame();
        const int status = avcodec_receive_frame(GetContext(), frame.get());
        if (status == 0)
        {
            frames.push_back(std::move(frame));
            continue;
        }
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            return frames;
        CheckAvResult(status, "::avcodec_receive_frame");
    }
}

Encoder::Encoder(const CodecDescription& output, bool globalHeader)
    : CodecBase(output, globalHeader, true)
{
    if (GetContext()->codec_type == AVMEDIA_TYPE_VIDEO)
    {
        // I-pictures only where the source has key pictures (see
        // Transcoder::EncodeFrames): neither every gop_size pictures nor at
        // a detected scene change, so the file's sync samples are the source's.
        GetContext()->gop_size = INT_MAX;
        const int status = av_opt_set_int(GetContext(), "sc_threshold", 1000000000, AV_OPT_SEARCH_CHILDREN);
        if (status != AVERROR_OPTION_NOT_FOUND)
            CheckAvResult(status, "::av_opt_set_int");
    }
    Open();
    FillParameters(output);
}

std::unique_ptr<OwnedPacket> Encoder::Encode(const AVFrame* frame)
{
    // Video encoders trust the frame to match the context (no scaling is done
    // here); a mismatch would make them read planes that do not exist.
    if (frame && GetContext()->codec_type == AVMEDIA_TYPE_VIDEO &&
        (frame->format != GetContext()->pix_fmt || frame->width != GetContext()->width ||
         frame->height != GetContext()->height))
        throw AvException("::avcodec_send_frame", AVERROR(EINVAL));
    CheckAvResult(avcodec_send_frame(GetContext(), frame), "::avcodec_send_frame");
    return Receive();
}

PacketSequence Encoder::EncodeAll(const AVFrame* frame)
{
    CheckAvResult(avcodec_send_frame(GetContext(), frame), "::avcodec_send_frame");
    PacketSequence packets;
    while (auto packet = Receive())
        packets.push_back(std::move(packet));
    return packets;
}

std::unique_ptr<OwnedPacket> Encoder::Receive()
{
    auto owned = std::make_unique<OwnedPacket>();
    owned->packet.stream_index = 0;
    owned->packet.pts = 0;
    owned->packet.dts = 0;
    const int status = avcodec_receive_packet(GetContext(), &owned->packet);
    if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
        return nullptr;
    CheckAvResult(status, "::avcodec_receive_packet");
    owned->packet.stream_index = StreamIndex();
    av_packet_rescale_ts(&owned->packet, GetContext()->time_base, TimeBase());
    return owned;
}

void Encoder::FillParameters(const CodecDescription& target) const
{
    FillParameters(*target.codecParameters);
}

void Encoder::FillParameters(AVCodecParameters& target) const
{
    CheckAvResult(avcodec_parameters_from_context(&target, GetContext()), "::avcodec_parameters_from_context");
    // Muxers and the FIFO need a frame size; these PCM encoders report none.
    if (target.frame_size == 0 && IsPcmFrameSizeCodec(target.codec_id))
        target.frame_size = 1;
}

AvFramePtr CreateAudioFrame(const AVCodecParameters& codecParameters)
{
    AvFramePtr frame = AllocateFrame();
    frame->format = codecParameters.format;
    CheckAvResult(av_channel_layout_copy(&frame->ch_layout, &codecParameters.ch_layout), "::av_channel_layout_copy");
    frame->sample_rate = codecParameters.sample_rate;
    frame->nb_samples = codecParameters.frame_size;
    CheckAvResult(av_frame_get_buffer(frame.get(), 0), "::av_frame_get_buffer");
    return frame;
}

void FillSilence(AVFrame& frame)
{
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const auto bytesPerSample = static_cast<std::size_t>(av_get_bytes_per_sample(format));
    const auto samples = static_cast<std::size_t>(frame.nb_samples);
    const auto channels = static_cast<std::size_t>(frame.ch_layout.nb_channels);
    // Zero bytes are silence for the signed and float formats encoders take.
    if (av_sample_fmt_is_planar(format))
        for (std::size_t plane = 0; plane < channels; ++plane)
            std::memset(frame.extended_data[plane], 0, samples * bytesPerSample);
    else
        std::memset(frame.extended_data[0], 0, channels * samples * bytesPerSample);
}

std::unique_ptr<OwnedPacket> Encoder::CreateSilentPacket(int samples)
{
    AvCodecParametersPtr parameters = AllocateCodecParameters();
    FillParameters(*parameters);
    if (samples > 0 && GetContext()->frame_size == 0)
        parameters->frame_size = samples;
    AvFramePtr frame = CreateAudioFrame(*parameters);
    FillSilence(*frame);
    // Encoders with a start-up delay (AAC) need the frame more than once; any
    // real encoder yields within a few frames, so a bound turns a misbehaving
    // one into an error instead of a hang.
    constexpr int kMaxAttempts = 64;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt)
        if (auto packet = Encode(frame.get()))
            return packet;
    throw AvException("::avcodec_receive_packet", AVERROR(EAGAIN));
}

Transcoder::Transcoder(const CodecDescription& input, const CodecDescription& output, bool globalHeader)
    : m_decoder(std::make_shared<Decoder>(input)), m_encoder(std::make_shared<Encoder>(output, globalHeader))
{
}

const AVFrame& PictureConverter::Convert(const AVFrame& frame, const AVCodecContext& encoder)
{
    if (frame.format == encoder.pix_fmt && frame.width == encoder.width && frame.height == encoder.height)
        return frame;
    // Reused while the pictures keep their size and format.
    m_context.reset(sws_getCachedContext(m_context.release(), frame.width, frame.height,
                                         static_cast<AVPixelFormat>(frame.format), encoder.width, encoder.height,
                                         encoder.pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!m_context)
        throw AvException("::sws_getCachedContext", AVERROR(EINVAL));
    m_converted = AllocateFrame();
    m_converted->format = encoder.pix_fmt;
    m_converted->width = encoder.width;
    m_converted->height = encoder.height;
    CheckAvResult(av_frame_get_buffer(m_converted.get(), 0), "::av_frame_get_buffer");
    CheckAvResult(av_frame_copy_props(m_converted.get(), &frame), "::av_frame_copy_props");
    CheckAvResult(sws_scale_frame(m_context.get(), m_converted.get(), &frame), "::sws_scale_frame");
    return *m_converted;
}

void Transcoder::EncodeFrames(const FrameSequence& frames, PacketSequence& packets)
{
    for (const AvFramePtr& frame : frames)
    {
        // The source's key pictures stay key pictures; any other decoded type
        // is no request for the encoder (left set, a source's B-pictures
        // would force B-pictures the encoder is not configured for).
        frame->pict_type = IsKeyFrame(*frame) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        const AVCodecContext& encoder = *m_encoder->GetContext();
        if (auto encoded = m_encoder->Encode(&m_converter.Convert(*frame, encoder)))
            packets.push_back(std::move(encoded));
    }
}

bool Transcoder::TranscodePacket(const OwnedPacket& packet, PacketSequence& packets)
{
    FrameSequence frames;
    try
    {
        frames = m_decoder->Decode(&packet);
    }
    catch (const AvException&)
    {
        return false;
    }
    EncodeFrames(frames, packets);
    return true;
}

PacketSequence Transcoder::FlushPackets()
{
    PacketSequence packets;
    EncodeFrames(m_decoder->Decode(nullptr), packets);
    if (auto encoded = m_encoder->Encode(nullptr))
        packets.push_back(std::move(encoded));
    return packets;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
