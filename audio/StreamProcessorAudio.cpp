#include "audio/StreamProcessorAudio.h"

#include "mux/FormatContext.h"
#include "streams/AudioHeaders.h"
#include "streams/PacketTiming.h"

#include <algorithm>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
bool HasGlobalHeader(const FormatContextOutput& output)
{
    return (output.GetAvFormatContext()->oformat->flags & AVFMT_GLOBALHEADER) != 0;
}

int StreamIndex(const Stream* stream)
{
    return stream && stream->GetAvStream() ? stream->GetAvStream()->index : -1;
}

bool SameFormat(const AVCodecParameters& a, const AVCodecParameters& b)
{
    return a.codec_id == b.codec_id && a.format == b.format && a.sample_rate == b.sample_rate &&
           av_channel_layout_compare(&a.ch_layout, &b.ch_layout) == 0;
}
} // namespace

StreamProcessorAudio::StreamProcessorAudio(std::int32_t timestampOffset, std::int32_t timeScale,
                                           std::unique_ptr<StreamAudio> inputStream, std::uint64_t videoStartTime,
                                           bool hasAdtsHeaders, std::unique_ptr<StreamParametersAudio> parameters)
    : m_timestampOffset(timestampOffset),
      m_timeScale(timeScale),
      m_inputStream(std::move(inputStream)),
      m_videoStartTime(videoStartTime),
      m_hasAdtsHeaders(hasAdtsHeaders),
      m_parameters(std::move(parameters))
{
}

void StreamProcessorAudio::InitBitstreamFilter()
{
    m_bitstreamFilter = std::make_unique<BitstreamFilter>("aac_adtstoasc", *m_inputStream->GetCodecParameters());
}

void StreamProcessorAudio::Build(FormatContextOutput& output, SilenceCache& cache)
{
    const CodecDescription inputDescription{m_inputStream->GetCodecParameters(), StreamIndex(m_inputStream.get()),
                                            m_inputStream->GetAvStream()->time_base};
    m_copied.reset();
    m_transcoder.reset();
    m_outputStream.reset();
    m_outputStream = std::make_unique<StreamAudio>(output, *m_inputStream);

    AVCodecParameters& out = *m_outputStream->GetCodecParameters();
    if (out.frame_size == 0 && IsPcmFrameSizeCodec(out.codec_id))
        out.frame_size = 1;

    const bool needsResampling = m_outputStream->NeedsResampling();
    if (m_inputStream->GetCodecParameters()->codec_id == out.codec_id && !needsResampling)
    {
        // The file declares what the copied stream carries; only what the
        // muxer needs and the record cannot say comes from the codec.
        UseUsualOrder(out.ch_layout);
        if (IsPcmFrameSizeCodec(out.codec_id))
        {
            out.bits_per_coded_sample = av_get_bits_per_sample(out.codec_id);
            out.block_align = out.bits_per_coded_sample / 8 * out.ch_layout.nb_channels;
        }
        m_copied = std::make_unique<CopiedAudio>(*m_inputStream, *m_outputStream,
                                                 CreateSilentPacket(HasGlobalHeader(output), cache));
        // Raw AAC without its configuration: the one an encoder gives the
        // declared format, which is all the record says of it.
        if (out.extradata_size == 0 && cache.extradata.size() > 0)
            SetExtradata(out, cache.extradata.data(), cache.extradata.size());
        return;
    }
    // Encoded packets carry the output stream's index (the same number as the
    // input's: both contexts hold video first, then audio).
    auto outputDescription = std::make_shared<CodecDescription>(
        CodecDescription{&out, StreamIndex(m_outputStream.get()), AVRational{1, out.sample_rate}});
    m_transcoder = std::make_unique<AudioTranscoder>(inputDescription, std::move(outputDescription), needsResampling,
                                                     HasGlobalHeader(output));
}

std::unique_ptr<OwnedPacket> StreamProcessorAudio::CreateSilentPacket(bool globalHeader, SilenceCache& cache)
{
    const AVCodecParameters& out = *m_outputStream->GetCodecParameters();
    const std::int32_t streamIndex = StreamIndex(m_outputStream.get());
    if (!cache.request || cache.globalHeader != globalHeader || cache.streamIndex != streamIndex ||
        !SameFormat(*cache.request, out))
    {
        // Filled only once all has worked, so that a failure leaves no half
        // entry. An encoder of its own: the copied stream keeps its own
        // settings, and never declares the encoder's start-up delay, which
        // would make players skip the host's first samples. PCM silence comes
        // a second at a time; any part of it can be used.
        SilenceCache made;
        made.request = AllocateCodecParameters();
        CheckAvResult(avcodec_parameters_copy(made.request.get(), &out), "::avcodec_parameters_copy");
        made.globalHeader = globalHeader;
        made.streamIndex = streamIndex;
        AvCodecParametersPtr settings = AllocateCodecParameters();
        CheckAvResult(avcodec_parameters_copy(settings.get(), &out), "::avcodec_parameters_copy");
        const CodecDescription description{settings.get(), streamIndex, AVRational{1, out.sample_rate}};
        made.packet = Encoder(description, globalHeader).CreateSilentPacket(out.sample_rate);
        made.extradata.assign(settings->extradata, settings->extradata + std::max(settings->extradata_size, 0));
        cache = std::move(made);
    }
    return OwnedPacket::RefOf(cache.packet->packet);
}

AudioTrack& StreamProcessorAudio::Track()
{
    if (m_transcoder)
        return *m_transcoder;
    return *m_copied;
}

PacketSequence StreamProcessorAudio::Time(MediaPacketList packets)
{
    PacketSequence timed;
    for (auto& packet : packets)
        TimePacket(std::move(packet), timed);
    return timed;
}

void StreamProcessorAudio::TimePacket(std::unique_ptr<MediaPacket> hostPacket, PacketSequence& timed)
{
    const std::optional<std::int64_t> elapsed = Elapsed(hostPacket->timestamp, m_videoStartTime);
    if (!elapsed)
        return;
    const std::int64_t pts = m_timestampOffset + ElapsedTicks(*elapsed, m_timeScale);

    // A copy: the ADTS filter and decoders read past the end.
    auto owned = OwnedPacket::CopyOf(hostPacket->data.data(), hostPacket->data.size());
    hostPacket.reset();
    AVPacket& packet = owned->packet;
    packet.pts = pts;
    packet.dts = pts;
    packet.stream_index = StreamIndex(m_outputStream.get());
    packet.duration = Duration(packet);
    if (packet.duration <= 0)
    {
        // Skipped: the hole it leaves is filled as any other.
        ++m_skipped;
        return;
    }
    if (!m_hasAdtsHeaders)
    {
        timed.push_back(std::move(owned));
        return;
    }
    const std::int64_t duration = packet.duration;
    PacketSequence filtered = m_bitstreamFilter->Filter(std::move(owned));
    // The filter refuses a frame it cannot take apart (a checksum over
    // several raw blocks).
    m_skipped += filtered.empty() ? 1 : 0;
    for (auto& frame : filtered)
    {
        frame->packet.duration = duration;
        timed.push_back(std::move(frame));
    }
}

std::int64_t StreamProcessorAudio::Duration(AVPacket& packet) const
{
    const AVCodecParameters& stream = *m_inputStream->GetCodecParameters();
    const auto size = static_cast<std::size_t>(packet.size);
    if (m_hasAdtsHeaders || stream.codec_id == AV_CODEC_ID_MP2)
    {
        // A frame whose header does not parse, or that says another rate or
        // channel count than the stream's, would not decode in the file.
        const std::optional<AudioHeader> header =
            m_hasAdtsHeaders ? ReadAdtsHeader(packet.data, size) : ReadMpegAudioHeader(packet.data, size);
        const bool fits = header && header->sampleRate == stream.sample_rate &&
                          (header->channels == 0 || header->channels == stream.ch_layout.nb_channels);
        return fits ? header->samples : 0;
    }
    // Only whole samples: a cut one would shift every later PCM sample.
    const int sampleBytes = av_get_bits_per_sample(stream.codec_id) / 8 * stream.ch_layout.nb_channels;
    if (IsPcmFrameSizeCodec(stream.codec_id) && sampleBytes > 0)
        packet.size -= packet.size % sampleBytes;
    return packet.size > 0 ? av_get_audio_frame_duration2(m_inputStream->GetCodecParameters(), packet.size) : 0;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
