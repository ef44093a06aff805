#include "transcoding/AudioTranscoder.h"

#include "container/AvCompat.h"
#include "container/FormatContext.h"
#include "errors/AvResult.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <new>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
// Silent frames encoded at the start of a hole before the encoder's output
// for silence is taken as steady; the rest of a long hole repeats that packet.
constexpr std::int64_t kWarmUpFrames = 8;
// Silence enters the chain in slices of at most this many samples.
constexpr std::int64_t kSliceSamples = 1 << 16;

// What the chain feeds into the FIFO must have the FIFO's (or resampler's)
// format and channel count: the copy reads as many planes and bytes as those
// say. A decoder that delivers something else (a host that declared the wrong
// channel count) is refused instead of read out of bounds.
void RequireFrameShape(const AVFrame& frame, AVSampleFormat format, int channels, const char* callName)
{
    if (frame.format != format || frame.ch_layout.nb_channels != channels)
        throw AvException(callName, AVERROR(EINVAL));
}

bool SamePayload(const OwnedPacket& a, const OwnedPacket& b)
{
    return a.packet.size == b.packet.size &&
           std::memcmp(a.packet.data, b.packet.data, static_cast<std::size_t>(a.packet.size)) == 0;
}
} // namespace

Resampler::Resampler(AVSampleFormat inputFormat, const AVChannelLayout& inputLayout, std::int32_t inputSampleRate,
                     std::shared_ptr<StreamParameters> outputParameters)
    : m_inputSampleRate(inputSampleRate),
      m_outputParameters(std::move(outputParameters)),
      m_inputFormat(inputFormat),
      m_inputChannels(inputLayout.nb_channels)
{
    const AVCodecParameters& out = *m_outputParameters->codecParameters;
    SwrContext* context = nullptr;
    // Results are not examined: a context that did not initialise makes the
    // first conversion fail with "::swr_convert".
    // The layouts are only read; FFmpeg 5.1 declares them non-const.
    swr_alloc_set_opts2(&context, const_cast<AVChannelLayout*>(&out.ch_layout), static_cast<AVSampleFormat>(out.format),
                        out.sample_rate, const_cast<AVChannelLayout*>(&inputLayout), inputFormat, m_inputSampleRate, 0,
                        nullptr);
    m_swrContext.reset(context);
    if (m_swrContext)
        swr_init(m_swrContext.get());
}

AudioFifo::AudioFifo(std::shared_ptr<StreamParameters> outputParameters)
    : m_frameSize(outputParameters->codecParameters->frame_size), m_outputParameters(std::move(outputParameters))
{
    const AVCodecParameters& out = *m_outputParameters->codecParameters;
    m_fifo.reset(av_audio_fifo_alloc(static_cast<AVSampleFormat>(out.format), out.ch_layout.nb_channels, 1));
    if (!m_fifo)
        throw AvException("::av_audio_fifo_alloc returned nullptr", kAllocationFailed);
}

bool AudioFifo::Write(std::uint8_t* const* data, int count)
{
    CheckAvResult(av_audio_fifo_realloc(m_fifo.get(), Size() + count), "::av_audio_fifo_realloc");
    // av_audio_fifo_write takes void** although it only reads the planes.
    auto planes = reinterpret_cast<void**>(const_cast<std::uint8_t**>(data));
    if (av_audio_fifo_write(m_fifo.get(), planes, count) < count)
        throw AvException("Could not write data to FIFO\n", AVERROR_EXIT);
    return HasFrame();
}

void AudioFifo::Read(AVFrame& frame, int count)
{
    // extended_data: data holds only the first eight planes, and planar audio
    // of more channels has one plane each.
    if (av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(frame.extended_data), count) < count)
        throw AvException("Could not read data from FIFO\n", AVERROR_EXIT);
}

int AudioFifo::Size() const
{
    return av_audio_fifo_size(m_fifo.get());
}

SampleBuffer::SampleBuffer(const AVCodecContext& encoder, int count)
{
    const int channels = encoder.ch_layout.nb_channels;
    m_data.reset(new (std::nothrow) std::uint8_t*[static_cast<std::size_t>(channels)]());
    if (!m_data)
        throw AvException("Could not allocate converted input sample pointers", kAllocationFailed);
    CheckAvResult(av_samples_alloc(m_data.get(), nullptr, channels, count, encoder.sample_fmt, 0),
                  "::av_samples_alloc");
}

SampleBuffer::~SampleBuffer()
{
    // One block, hung into every plane; entry 0 owns it.
    if (m_data)
        av_freep(&m_data[0]);
}

AudioTranscoder::AudioTranscoder(const StreamParameters& input, std::shared_ptr<StreamParameters> output,
                                 bool needsResampling, bool globalHeader)
    : m_transcoder(input, *output, globalHeader), m_fifo(std::make_unique<AudioFifo>(output))
{
    if (!needsResampling)
        return;
    // The resampler is configured for what the decoder delivers, which is the
    // declared input format for every codec a host can declare, except where a
    // decoder prefers another (planar or float) variant.
    const AVCodecContext& decoder = *m_transcoder.m_decoder->GetContext();
    const AVSampleFormat decoded = decoder.sample_fmt != AV_SAMPLE_FMT_NONE
                                       ? decoder.sample_fmt
                                       : static_cast<AVSampleFormat>(input.codecParameters->format);
    const AVChannelLayout& layout =
        decoder.ch_layout.nb_channels > 0 ? decoder.ch_layout : input.codecParameters->ch_layout;
    m_resampler = std::make_shared<Resampler>(decoded, layout, input.codecParameters->sample_rate, std::move(output));
}

PacketSequence AudioTranscoder::Transcode(const OwnedPacket* packet)
{
    PacketSequence packets;
    const std::int64_t pts = packet->packet.pts;
    if (m_startPts == 0)
    {
        m_startPts = pts;
        m_position = pts;
    }
    else if (pts > m_startPts + m_samplesIn)
    {
        const std::int64_t hole = pts - m_startPts - m_samplesIn;
        const AVRational timeBase = m_transcoder.m_decoder->GetContext()->time_base;
        if (EndsBeyondVideo(pts, m_videoExtent, timeBase) || pts - hole < m_videoCoveredFrom)
        {
            // Not lost audio but a clock that jumped: the track goes on at the
            // new time with a gap, as copied audio does.
            m_startPts += hole;
            m_position += hole;
        }
        else
        {
            FillHole(hole, packets);
        }
    }
    for (const AvFramePtr& frame : m_transcoder.m_decoder->Decode(packet))
        EncodeFrame(*frame, packets);
    return packets;
}

void AudioTranscoder::FillHole(std::int64_t hole, PacketSequence& packets)
{
    // Silence for the missing samples enters the chain exactly like decoded
    // audio, in slices so that a long hole never needs all its samples at once.
    const auto encodeSilence = [&](std::int64_t samples) {
        for (; samples > 0; samples -= kSliceSamples)
        {
            AvFramePtr silence = CreateSilentFrame(static_cast<int>(std::min(samples, kSliceSamples)));
            EncodeFrame(*silence, packets);
        }
    };
    // Encoding an hour of silence would take many seconds. Once the encoder
    // turns silence into the same packet again and again, whole frames of the
    // rest are that packet repeated, timed as encoding would have timed them;
    // the encoder's state (silence in, silence held) is what it would be.
    const std::int64_t outputRate = m_fifo->m_outputParameters->codecParameters->sample_rate;
    const std::int64_t inputRate = m_resampler ? m_resampler->m_inputSampleRate : outputRate;
    const std::int64_t frameSize = m_fifo->m_frameSize;
    // Input samples that make a whole number of encoder frames, so that the
    // resampler's phase is the same after the skipped stretch.
    const std::int64_t divisor = std::gcd(outputRate, frameSize * inputRate);
    const std::int64_t unitFrames = outputRate / divisor;
    const std::int64_t unitSamples = frameSize * inputRate / divisor;
    const std::int64_t warmUp = av_rescale(kWarmUpFrames * frameSize, inputRate, outputRate) + 1;
    if (m_silenceRun.frames > 0 || frameSize <= 1 || hole < warmUp + 2 * unitSamples)
    {
        encodeSilence(hole);
        return;
    }
    const std::size_t before = packets.size();
    encodeSilence(warmUp);
    const std::size_t made = packets.size() - before;
    if (made < 2 || !SamePayload(*packets[packets.size() - 1], *packets[packets.size() - 2]))
    {
        encodeSilence(hole - warmUp);
        return;
    }
    const std::int64_t units = (hole - warmUp) / unitSamples;
    m_silenceRun.packet = OwnedPacket::RefOf(packets.back()->packet);
    m_silenceRun.frames = units * unitFrames;
    m_silenceRun.position = m_position;
    m_silenceRun.roundDown = m_roundDown;
    // Still in the encoder: a packet for each frame sent, and its priming
    // packets; the copies stand for the frames after them.
    const AVCodecContext& encoder = *m_transcoder.m_encoder->GetContext();
    m_silenceRun.after = m_framesSent + (encoder.initial_padding + frameSize - 1) / frameSize - m_packetsReceived;
    for (std::int64_t frame = 0; frame < m_silenceRun.frames; ++frame)
        NextFramePts(static_cast<int>(frameSize));
    m_samplesIn += units * unitSamples;
    EmitSilenceRun(packets);
    encodeSilence(hole - warmUp - units * unitSamples);
}

void AudioTranscoder::EmitSilenceRun(PacketSequence& packets)
{
    if (m_silenceRun.frames == 0 || m_silenceRun.after > 0)
        return;
    // After its priming packets, the encoder stamps each packet with the time
    // of the frame whose samples it carries.
    const int frameSize = m_fifo->m_frameSize;
    for (; m_silenceRun.frames > 0; --m_silenceRun.frames)
    {
        auto copy = OwnedPacket::RefOf(m_silenceRun.packet->packet);
        const std::int64_t pts = NextFramePts(frameSize, m_silenceRun.position, m_silenceRun.roundDown);
        copy->packet.pts = pts;
        copy->packet.dts = pts;
        packets.push_back(std::move(copy));
    }
    m_silenceRun.packet.reset();
}

AvFramePtr AudioTranscoder::CreateSilentFrame(int samples) const
{
    AvCodecParametersPtr parameters = AllocateCodecParameters();
    m_transcoder.m_encoder->FillParameters(*parameters);
    if (m_resampler)
    {
        // Zeros are silence in every format; the frame only has to have the
        // shape the resampler reads.
        parameters->format = m_resampler->m_inputFormat;
        const AVCodecContext& decoder = *m_transcoder.m_decoder->GetContext();
        if (decoder.ch_layout.nb_channels == m_resampler->m_inputChannels)
            CheckAvResult(av_channel_layout_copy(&parameters->ch_layout, &decoder.ch_layout), "::av_channel_layout_copy");
    }
    parameters->frame_size = samples;
    AvFramePtr frame = CreateAudioFrame(*parameters);
    FillSilence(*frame);
    return frame;
}

void AudioTranscoder::EncodeFrame(const AVFrame& frame, PacketSequence& packets)
{
    m_samplesIn += frame.nb_samples;
    bool full = ConvertToFifo(frame);
    const AVCodecParameters& out = *m_fifo->m_outputParameters->codecParameters;
    while (full)
    {
        const int count = std::min(m_fifo->m_frameSize, m_fifo->Size());
        AvFramePtr encoded = CreateAudioFrame(out);
        m_fifo->Read(*encoded, count);
        NextFramePts(encoded->nb_samples);
        encoded->pts = m_framePts;
        Send(encoded.get(), packets);
        full = m_fifo->HasFrame();
    }
}

void AudioTranscoder::Send(const AVFrame* frame, PacketSequence& packets)
{
    // Packets keep the encoder's timestamps: its start-up delay moves them
    // before their frames, which is where the decoder puts their samples.
    if (frame)
        ++m_framesSent;
    for (auto& packet : m_transcoder.m_encoder->EncodeAll(frame))
    {
        packets.push_back(std::move(packet));
        ++m_packetsReceived;
        if (m_silenceRun.after > 0)
            --m_silenceRun.after;
        EmitSilenceRun(packets);
    }
}

bool AudioTranscoder::ConvertToFifo(const AVFrame& frame)
{
    if (!m_resampler)
    {
        const AVCodecParameters& out = *m_fifo->m_outputParameters->codecParameters;
        RequireFrameShape(frame, static_cast<AVSampleFormat>(out.format), out.ch_layout.nb_channels,
                          "::av_audio_fifo_write");
        return m_fifo->Write(frame.extended_data, frame.nb_samples);
    }
    RequireFrameShape(frame, m_resampler->m_inputFormat, m_resampler->m_inputChannels, "::swr_convert");
    SwrContext* context = m_resampler->m_swrContext.get();
    const int outputRate = m_resampler->m_outputParameters->codecParameters->sample_rate;
    // Room for everything the conversion can deliver, including what the
    // resampler still holds from earlier frames.
    const std::int64_t delay = context ? swr_get_delay(context, m_resampler->m_inputSampleRate) : 0;
    const auto room = static_cast<int>(
        av_rescale_rnd(delay + frame.nb_samples, outputRate, m_resampler->m_inputSampleRate, AV_ROUND_UP));
    SampleBuffer buffer(*m_transcoder.m_encoder->GetContext(), room);
    const int converted = swr_convert(context, buffer.m_data.get(), room,
                                      const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
    CheckAvResult(converted, "::swr_convert");
    buffer.m_count = converted;
    return m_fifo->Write(buffer.m_data.get(), buffer.m_count);
}

std::int64_t AudioTranscoder::NextFramePts(int samples, std::int64_t& position, bool& roundDown) const
{
    const AVRational decoderTimeBase = m_transcoder.m_decoder->GetContext()->time_base;
    const AVRational encoderTimeBase = m_transcoder.m_encoder->GetContext()->time_base;
    std::int64_t pts = av_rescale_q_rnd(position, decoderTimeBase, encoderTimeBase, AV_ROUND_NEAR_INF);
    if (samples == 1 && !roundDown)
        pts += 1;
    position += av_rescale_q_rnd(samples, encoderTimeBase, decoderTimeBase,
                                 roundDown ? AV_ROUND_DOWN : AV_ROUND_NEAR_INF);
    roundDown = !roundDown;
    return pts;
}

void AudioTranscoder::NextFramePts(int samples)
{
    m_framePts = NextFramePts(samples, m_position, m_roundDown);
}

PacketSequence AudioTranscoder::Flush()
{
    PacketSequence packets;
    if (m_flushed)
        return packets;
    m_flushed = true;
    for (const AvFramePtr& frame : m_transcoder.m_decoder->Decode(nullptr))
        EncodeFrame(*frame, packets);
    // The samples short of a frame go in as a last, short frame: encoders
    // that take none pad it with silence themselves.
    if (const int left = m_fifo->Size(); left > 0)
    {
        AvFramePtr last = CreateAudioFrame(*m_fifo->m_outputParameters->codecParameters);
        last->nb_samples = left;
        m_fifo->Read(*last, left);
        NextFramePts(left);
        last->pts = m_framePts;
        Send(last.get(), packets);
    }
    Send(nullptr, packets);
    return packets;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
