#include "audio/AudioTranscoder.h"

#include "av/AvCompat.h"
#include "av/AvResult.h"
#include "sync/ClockPolicy.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>
#include <vector>

extern "C" {
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
// Silent frames encoded at the start of a fill before the encoder's output
// for silence is taken as steady; the rest of a long fill repeats that packet.
constexpr std::int64_t kWarmUpFrames = 8;
// Silence enters the chain in slices of at most this many samples.
constexpr std::int64_t kSliceSamples = 1 << 16;
// Soft correction. A smoothed error below the dead band is left alone, so that
// audio whose clock agrees with the host's is never resampled for it; above
// it the error is spread over kStretchSeconds, or more where that would
// change the rate by more than 1/kMaxStretchInverse (0.5 %, far below what
// is heard as a change of pitch, 5 times a 1000 ppm drift).
constexpr std::int64_t kStretchDeadBandMilliseconds = 2;
constexpr std::int64_t kStretchSeconds = 2;
constexpr std::int64_t kMaxStretchInverse = 200;

bool SamePayload(const OwnedPacket& a, const OwnedPacket& b)
{
    return a.packet.size == b.packet.size &&
           std::memcmp(a.packet.data, b.packet.data, static_cast<std::size_t>(a.packet.size)) == 0;
}

// The planes of `frame` from sample `skip` on.
std::vector<std::uint8_t*> PlanesFrom(const AVFrame& frame, int skip)
{
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const int channels = frame.ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const std::size_t offset = static_cast<std::size_t>(skip) * static_cast<std::size_t>(av_get_bytes_per_sample(format)) *
                               static_cast<std::size_t>(planar ? 1 : channels);
    std::vector<std::uint8_t*> planes(static_cast<std::size_t>(planar ? channels : 1));
    for (std::size_t i = 0; i < planes.size(); ++i)
        planes[i] = frame.extended_data[i] + offset;
    return planes;
}
} // namespace

// Converts decoded frames into the encoder's sample format, rate and layout,
// and stretches them on request.
class Resampler
{
public:
    Resampler(AVSampleFormat inputFormat, const AVChannelLayout& inputLayout, int inputRate,
              const AVCodecParameters& output)
    {
        SwrContext* context = nullptr;
        // The layouts are only read; FFmpeg 5.1 declares them non-const.
        CheckAvResult(swr_alloc_set_opts2(&context, const_cast<AVChannelLayout*>(&output.ch_layout),
                                          static_cast<AVSampleFormat>(output.format), output.sample_rate,
                                          const_cast<AVChannelLayout*>(&inputLayout), inputFormat, inputRate, 0,
                                          nullptr),
                      "::swr_alloc_set_opts2");
        m_context.reset(context);
        CheckAvResult(swr_init(m_context.get()), "::swr_init");
    }

    // Converts `count` samples at `planes` into `buffer` (room for `room`);
    // the samples written.
    int Convert(std::uint8_t** buffer, int room, std::uint8_t* const* planes, int count)
    {
        const int converted = swr_convert(m_context.get(), buffer, room, const_cast<const std::uint8_t**>(planes), count);
        CheckAvResult(converted, "::swr_convert");
        return converted;
    }
    // At most how many samples the next conversion of `count` delivers.
    int Room(int count) const { return swr_get_out_samples(m_context.get(), count); }
    // Samples taken in but not yet delivered, in 1/`rate`.
    std::int64_t Delay(int rate) const { return swr_get_delay(m_context.get(), rate); }
    // `delta` more output samples (fewer when negative) over the next `distance`.
    void Compensate(int delta, int distance)
    {
        CheckAvResult(swr_set_compensation(m_context.get(), delta, distance), "::swr_set_compensation");
        m_compensating = delta != 0;
    }
    bool Compensating() const { return m_compensating; }

private:
    SwrContextPtr m_context;
    bool m_compensating = false;
};

// Samples waiting to make up a whole encoder frame.
class AudioFifo
{
public:
    AudioFifo(const AVCodecParameters& output) : m_frameSize(output.frame_size)
    {
        m_fifo.reset(av_audio_fifo_alloc(static_cast<AVSampleFormat>(output.format), output.ch_layout.nb_channels, 1));
        if (!m_fifo)
            throw AvException("::av_audio_fifo_alloc returned nullptr", kAllocationFailed);
    }

    // Appends `count` samples from the planes at `data`, growing the FIFO to
    // exactly what it must hold.
    void Write(std::uint8_t* const* data, int count)
    {
        CheckAvResult(av_audio_fifo_realloc(m_fifo.get(), Size() + count), "::av_audio_fifo_realloc");
        // av_audio_fifo_write takes void** although it only reads the planes.
        auto planes = reinterpret_cast<void**>(const_cast<std::uint8_t**>(data));
        if (av_audio_fifo_write(m_fifo.get(), planes, count) < count)
            throw AvException("Could not write data to FIFO\n", AVERROR_EXIT);
    }
    // Moves `count` samples into the frame's planes.
    void Read(AVFrame& frame, int count)
    {
        // extended_data: data holds only the first eight planes, and planar
        // audio of more channels has one plane each.
        if (av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(frame.extended_data), count) < count)
            throw AvException("Could not read data from FIFO\n", AVERROR_EXIT);
    }
    int Size() const { return av_audio_fifo_size(m_fifo.get()); }
    bool HasFrame() const { return Size() >= m_frameSize; }
    int FrameSize() const { return m_frameSize; }

private:
    int m_frameSize;
    AvAudioFifoPtr m_fifo;
};

namespace
{
// Converted samples in the encoder's format, one plane pointer per channel.
class SampleBuffer
{
public:
    SampleBuffer(const AVCodecContext& encoder, int count)
    {
        const int channels = encoder.ch_layout.nb_channels;
        m_planes.reset(new (std::nothrow) std::uint8_t*[static_cast<std::size_t>(channels)]());
        if (!m_planes)
            throw AvException("Could not allocate converted input sample pointers", kAllocationFailed);
        CheckAvResult(av_samples_alloc(m_planes.get(), nullptr, channels, count, encoder.sample_fmt, 0),
                      "::av_samples_alloc");
    }
    ~SampleBuffer()
    {
        // One block, hung into every plane; entry 0 owns it.
        if (m_planes)
            av_freep(&m_planes[0]);
    }
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;

    std::uint8_t** Planes() const { return m_planes.get(); }

private:
    std::unique_ptr<std::uint8_t*[]> m_planes;
};
} // namespace

AudioTranscoder::AudioTranscoder(const CodecDescription& input, std::shared_ptr<CodecDescription> output,
                                 bool needsResampling, bool globalHeader)
    : m_transcoder(input, *output, globalHeader),
      m_output(std::move(output)),
      m_fifo(std::make_unique<AudioFifo>(*m_output->codecParameters)),
      m_inputRate(input.codecParameters->sample_rate)
{
    // The chain is set up for what the decoder delivers, which is the
    // declared input format for every codec a host can declare, except where
    // a decoder prefers another (planar or float) variant.
    const AVCodecContext& decoder = *m_transcoder.GetDecoder().GetContext();
    m_inputFormat = decoder.sample_fmt != AV_SAMPLE_FMT_NONE ? decoder.sample_fmt
                                                             : static_cast<AVSampleFormat>(input.codecParameters->format);
    const AVChannelLayout& layout =
        decoder.ch_layout.nb_channels > 0 ? decoder.ch_layout : input.codecParameters->ch_layout;
    CheckAvResult(av_channel_layout_copy(&m_inputLayout, &layout), "::av_channel_layout_copy");
    if (needsResampling)
        m_resampler =
            std::make_unique<Resampler>(m_inputFormat, m_inputLayout, m_inputRate, *m_output->codecParameters);
}

AudioTranscoder::~AudioTranscoder()
{
    av_channel_layout_uninit(&m_inputLayout);
}

std::int64_t AudioTranscoder::ToOutput(std::int64_t ticks) const
{
    return av_rescale(ticks, m_output->codecParameters->sample_rate, m_inputRate);
}

std::int64_t AudioTranscoder::ToInput(std::int64_t samples) const
{
    return av_rescale(samples, m_inputRate, m_output->codecParameters->sample_rate);
}

std::int64_t AudioTranscoder::End() const
{
    // Where the next input sample comes out: after what the FIFO took and
    // what the resampler still holds.
    const std::int64_t held = m_resampler ? m_resampler->Delay(m_output->codecParameters->sample_rate) : 0;
    return ToInput(m_origin + m_fifoIn + held);
}

void AudioTranscoder::Start(std::int64_t position)
{
    m_origin = ToOutput(position);
}

std::int64_t AudioTranscoder::Skip(std::int64_t ticks)
{
    // The samples still in the chain land after the gap too: less than a
    // frame, at a clock jump. The sample before the gap lasts the gap and
    // itself.
    const std::int64_t longest = ToInput(kLongestSample - 2 * std::int64_t{m_fifo->FrameSize()});
    const std::int64_t skipped = std::clamp<std::int64_t>(ticks, 0, longest);
    m_origin += ToOutput(skipped);
    return skipped;
}

void AudioTranscoder::Fill(std::int64_t ticks, PacketSequence& packets)
{
    // Silence for the missing samples enters the chain exactly like decoded
    // audio, in slices so that a long fill never needs all its samples at once.
    const auto encodeSilence = [&](std::int64_t samples) {
        for (; samples > 0; samples -= kSliceSamples)
        {
            AvFramePtr silence = CreateSilentFrame(static_cast<int>(std::min(samples, kSliceSamples)));
            EncodeFrame(*silence, 0, packets);
        }
    };
    // Encoding an hour of silence would take many seconds. Once the encoder
    // turns silence into the same packet again and again, whole frames of the
    // rest are that packet repeated, timed as encoding would have timed them;
    // the encoder's state (silence in, silence held) is what it would be.
    const std::int64_t outputRate = m_output->codecParameters->sample_rate;
    const std::int64_t frameSize = m_fifo->FrameSize();
    // Input samples that make a whole number of encoder frames, so that the
    // resampler's phase is the same after the skipped stretch.
    const std::int64_t divisor = std::gcd(outputRate, frameSize * m_inputRate);
    const std::int64_t unitFrames = outputRate / divisor;
    const std::int64_t unitSamples = frameSize * m_inputRate / divisor;
    const std::int64_t warmUp = av_rescale(kWarmUpFrames * frameSize, m_inputRate, outputRate) + 1;
    if (m_silenceRun.frames > 0 || frameSize <= 1 || ticks < warmUp + 2 * unitSamples)
    {
        encodeSilence(ticks);
        return;
    }
    const std::size_t before = packets.size();
    encodeSilence(warmUp);
    const std::size_t made = packets.size() - before;
    if (made < 2 || !SamePayload(*packets[packets.size() - 1], *packets[packets.size() - 2]))
    {
        encodeSilence(ticks - warmUp);
        return;
    }
    const std::int64_t units = (ticks - warmUp) / unitSamples;
    m_silenceRun.packet = OwnedPacket::RefOf(packets.back()->packet);
    m_silenceRun.frames = units * unitFrames;
    m_silenceRun.pts = m_origin + m_fifoOut;
    // Still in the encoder: a packet for each frame sent, and its priming
    // packets; the copies stand for the frames after them.
    const AVCodecContext& encoder = *m_transcoder.GetEncoder().GetContext();
    m_silenceRun.after = m_framesSent + (encoder.initial_padding + frameSize - 1) / frameSize - m_packetsReceived;
    // The samples still in the FIFO are silence too: the frames stood for
    // may come before them.
    m_fifoIn += m_silenceRun.frames * frameSize;
    m_fifoOut += m_silenceRun.frames * frameSize;
    EmitSilenceRun(packets);
    encodeSilence(ticks - warmUp - units * unitSamples);
}

void AudioTranscoder::EmitSilenceRun(PacketSequence& packets)
{
    if (m_silenceRun.frames == 0 || m_silenceRun.after > 0)
        return;
    // After its priming packets, the encoder stamps each packet with the time
    // of the frame whose samples it carries.
    const int frameSize = m_fifo->FrameSize();
    for (; m_silenceRun.frames > 0; --m_silenceRun.frames, m_silenceRun.pts += frameSize)
    {
        auto copy = OwnedPacket::RefOf(m_silenceRun.packet->packet);
        copy->packet.pts = m_silenceRun.pts;
        copy->packet.dts = m_silenceRun.pts;
        packets.push_back(std::move(copy));
    }
    m_silenceRun.packet.reset();
}

AvFramePtr AudioTranscoder::CreateSilentFrame(int samples) const
{
    // Zeros are silence in every format the chain takes in; the frame has
    // its shape.
    AvCodecParametersPtr parameters = AllocateCodecParameters();
    parameters->format = m_inputFormat;
    parameters->sample_rate = m_inputRate;
    CheckAvResult(av_channel_layout_copy(&parameters->ch_layout, &m_inputLayout), "::av_channel_layout_copy");
    parameters->frame_size = samples;
    AvFramePtr frame = CreateAudioFrame(*parameters);
    FillSilence(*frame);
    return frame;
}

bool AudioTranscoder::HasInputShape(const AVFrame& frame) const
{
    // The FIFO and the resampler read as many planes and bytes as the format
    // and channel count they were made for say.
    return frame.format == m_inputFormat && frame.ch_layout.nb_channels == m_inputLayout.nb_channels;
}

bool AudioTranscoder::Append(std::unique_ptr<OwnedPacket> packet, std::int64_t trim, PacketSequence& packets)
{
    // An empty packet would end the decoder's input for good.
    if (packet->packet.size <= 0)
        return false;
    FrameSequence frames;
    try
    {
        frames = m_transcoder.GetDecoder().Decode(packet.get());
    }
    catch (const AvException&)
    {
        return false; // the decoder has dropped it; it goes on with the next
    }
    for (const AvFramePtr& frame : frames)
        if (!HasInputShape(*frame))
            return false;
    for (const AvFramePtr& frame : frames)
    {
        const auto skip = static_cast<int>(std::min<std::int64_t>(trim, frame->nb_samples));
        trim -= skip;
        EncodeFrame(*frame, skip, packets);
    }
    return true;
}

void AudioTranscoder::Stretch(std::int64_t ticks)
{
    const std::int64_t outputRate = m_output->codecParameters->sample_rate;
    std::int64_t delta = ToOutput(ticks);
    if (std::abs(delta) * 1000 < kStretchDeadBandMilliseconds * outputRate)
    {
        if (m_resampler && m_resampler->Compensating())
            m_resampler->Compensate(0, 0);
        return;
    }
    // Audio that needed no conversion gets a resampler now, for this.
    if (!m_resampler)
        m_resampler =
            std::make_unique<Resampler>(m_inputFormat, m_inputLayout, m_inputRate, *m_output->codecParameters);
    const std::int64_t distance = std::max(kStretchSeconds * outputRate, std::abs(delta) * kMaxStretchInverse);
    delta = std::clamp<std::int64_t>(delta, -INT_MAX / kMaxStretchInverse, INT_MAX / kMaxStretchInverse);
    m_resampler->Compensate(static_cast<int>(delta), static_cast<int>(std::min<std::int64_t>(distance, INT_MAX)));
}

void AudioTranscoder::EncodeFrame(const AVFrame& frame, int skip, PacketSequence& packets)
{
    ConvertToFifo(frame, skip);
    const AVCodecParameters& out = *m_output->codecParameters;
    while (m_fifo->HasFrame())
    {
        AvFramePtr encoded = CreateAudioFrame(out);
        m_fifo->Read(*encoded, encoded->nb_samples);
        encoded->pts = m_origin + m_fifoOut;
        m_fifoOut += encoded->nb_samples;
        Send(encoded.get(), packets);
    }
}

void AudioTranscoder::Send(const AVFrame* frame, PacketSequence& packets)
{
    // Packets keep the encoder's timestamps: its start-up delay moves them
    // before their frames, which is where the decoder puts their samples.
    if (frame)
        ++m_framesSent;
    for (auto& packet : m_transcoder.GetEncoder().EncodeAll(frame))
    {
        packets.push_back(std::move(packet));
        ++m_packetsReceived;
        if (m_silenceRun.after > 0)
            --m_silenceRun.after;
        EmitSilenceRun(packets);
    }
}

void AudioTranscoder::ConvertToFifo(const AVFrame& frame, int skip)
{
    const int count = frame.nb_samples - skip;
    if (count <= 0)
        return;
    const std::vector<std::uint8_t*> planes = PlanesFrom(frame, skip);
    if (!m_resampler)
    {
        m_fifo->Write(planes.data(), count);
        m_fifoIn += count;
        return;
    }
    // Room for everything the conversion can deliver, including what the
    // resampler still holds from earlier frames.
    const int room = m_resampler->Room(count);
    SampleBuffer buffer(*m_transcoder.GetEncoder().GetContext(), room);
    const int converted = m_resampler->Convert(buffer.Planes(), room, planes.data(), count);
    m_fifo->Write(buffer.Planes(), converted);
    m_fifoIn += converted;
}

void AudioTranscoder::Flush(PacketSequence& packets)
{
    if (m_flushed)
        return;
    m_flushed = true;
    for (const AvFramePtr& frame : m_transcoder.GetDecoder().Decode(nullptr))
        if (HasInputShape(*frame))
            EncodeFrame(*frame, 0, packets);
    // The samples short of a frame go in as a last, short frame: encoders
    // that take none pad it with silence themselves.
    if (const int left = m_fifo->Size(); left > 0)
    {
        AvFramePtr last = CreateAudioFrame(*m_output->codecParameters);
        last->nb_samples = left;
        m_fifo->Read(*last, left);
        last->pts = m_origin + m_fifoOut;
        m_fifoOut += left;
        Send(last.get(), packets);
    }
    Send(nullptr, packets);
    // Encoders that pad the last frame (ADPCM's blocks) declare the padding too.
    if (!packets.empty())
    {
        AVPacket& last = packets.back()->packet;
        const std::int64_t end = m_origin + m_fifoOut;
        if (last.pts < end && last.pts + last.duration > end)
            last.duration = end - last.pts;
    }
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
