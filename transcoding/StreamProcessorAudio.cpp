#include "transcoding/StreamProcessorAudio.h"

#include "container/FormatContext.h"
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

void StreamProcessorAudio::Build(FormatContextOutput& output)
{
    const StreamParameters inputDescription{m_inputStream->GetCodecParameters(), StreamIndex(m_inputStream.get()),
                                            m_inputStream->GetAvStream()->time_base};
    m_outputStream.reset();
    m_outputStream = std::make_unique<StreamAudio>(output, *m_inputStream);

    AVCodecParameters& out = *m_outputStream->GetCodecParameters();
    if (out.frame_size == 0 && IsPcmFrameSizeCodec(out.codec_id))
        out.frame_size = 1;

    const bool needsResampling = m_outputStream->NeedsResampling();
    if (m_inputStream->GetCodecParameters()->codec_id == out.codec_id && !needsResampling)
        return;

    // Encoded packets carry the output stream's index (the same number as the
    // input's: both contexts hold video first, then audio).
    auto outputDescription = std::make_shared<StreamParameters>(
        StreamParameters{&out, StreamIndex(m_outputStream.get()), AVRational{1, out.sample_rate}});
    m_transcoder.reset();
    m_transcoder = std::make_unique<AudioTranscoder>(inputDescription, std::move(outputDescription), needsResampling,
                                                     HasGlobalHeader(output));
    // No video processed yet.
    m_transcoder->m_videoExtent = 0;
}

std::shared_ptr<Encoder> StreamProcessorAudio::CreateEncoder(bool globalHeader)
{
    AVCodecParameters& out = *m_outputStream->GetCodecParameters();
    const StreamParameters outputDescription{&out, StreamIndex(m_outputStream.get()), AVRational{1, out.sample_rate}};
    return std::make_shared<Encoder>(outputDescription, globalHeader);
}

std::unique_ptr<OwnedPacket> StreamProcessorAudio::CreateSilentPacket(bool globalHeader, SilenceCache& cache)
{
    AVCodecParameters& out = *m_outputStream->GetCodecParameters();
    const int initialPadding = out.initial_padding;
    const int trailingPadding = out.trailing_padding;
    // What the encoder is opened from (see CodecBase): the same, the same packet.
    const std::int32_t streamIndex = StreamIndex(m_outputStream.get());
    const AVCodecParameters* request = cache.request.get();
    if (request && cache.globalHeader == globalHeader && cache.streamIndex == streamIndex &&
        request->codec_id == out.codec_id && request->format == out.format &&
        request->sample_rate == out.sample_rate && av_channel_layout_compare(&request->ch_layout, &out.ch_layout) == 0)
        CheckAvResult(avcodec_parameters_copy(&out, cache.settings.get()), "::avcodec_parameters_copy");
    else
    {
        // Filled only once all has worked, so that a failure leaves no half entry.
        SilenceCache made;
        made.request = AllocateCodecParameters();
        CheckAvResult(avcodec_parameters_copy(made.request.get(), &out), "::avcodec_parameters_copy");
        made.globalHeader = globalHeader;
        made.streamIndex = streamIndex;
        // An encoder of its own, also where a transcoder exists: silence sent
        // through the transcoder's encoder would sit in front of the host's
        // audio. PCM fillers last 20 ms rather than one sample each.
        made.packet = CreateEncoder(globalHeader)->CreateSilentPacket(out.sample_rate / 50);
        made.settings = AllocateCodecParameters();
        CheckAvResult(avcodec_parameters_copy(made.settings.get(), &out), "::avcodec_parameters_copy");
        cache = std::move(made);
    }
    std::unique_ptr<OwnedPacket> silence = OwnedPacket::RefOf(cache.packet->packet);
    if (m_transcoder)
    {
        // The stream declares the transcoder's delay, which its packets carry.
        out.initial_padding = initialPadding;
        out.trailing_padding = trailingPadding;
        return silence;
    }
    // The encoder's start-up delay came along with its settings, but the copied
    // packets never went through it: declared, it would make players skip the
    // host's first samples and shift the audio against the video.
    out.initial_padding = 0;
    out.trailing_padding = 0;
    return silence;
}

void StreamProcessorAudio::SetVideoExtent(std::int64_t coveredFrom, std::int64_t pts, AVRational timeBase)
{
    if (!m_transcoder)
        return;
    const AVRational audioTimeBase = m_inputStream->GetAvStream()->time_base;
    const std::int64_t extent = av_rescale_q(pts, timeBase, audioTimeBase);
    m_transcoder->m_videoExtent = std::max(m_transcoder->m_videoExtent, extent);
    m_transcoder->m_videoCoveredFrom = av_rescale_q(coveredFrom, timeBase, audioTimeBase);
}

PacketSequence StreamProcessorAudio::Process(MediaPacketList packets)
{
    return ProcessBatch(*this, packets);
}

PacketSequence StreamProcessorAudio::ProcessPacket(std::unique_ptr<MediaPacket> hostPacket)
{
    if (hostPacket->timestamp < m_videoStartTime)
        return {};

    const std::uint64_t ticks = ElapsedTicks(hostPacket->timestamp, m_videoStartTime, m_timeScale);
    const std::int64_t candidate = m_timestampOffset + static_cast<std::int64_t>(ticks);
    const std::int64_t pts = NextPts(candidate, m_lastPts);
    m_lastPts = pts;

    // A copy: the ADTS filter and decoders read past the end.
    auto owned = OwnedPacket::CopyOf(hostPacket->data.data(), hostPacket->data.size());
    owned->packet.stream_index = StreamIndex(m_outputStream.get());
    owned->packet.pts = pts;
    owned->packet.dts = pts;

    if (!m_hasAdtsHeaders)
        return ForwardPacket(std::move(owned));

    if (!m_bitstreamFilter)
        throw FfMpegFacadeException("StreamProcessorAudio::ProcessPacket",
                                    "ADTS input needs InitBitstreamFilter first");
    PacketSequence result;
    for (auto& filtered : m_bitstreamFilter->Filter(std::move(owned)))
        for (auto& p : ForwardPacket(std::move(filtered)))
            result.push_back(std::move(p));
    return result;
}

PacketSequence StreamProcessorAudio::ForwardPacket(std::unique_ptr<OwnedPacket> packet)
{
    if (m_transcoder)
        return m_transcoder->Transcode(packet.get());
    // Copied audio gets the length its bytes stand for (input ticks are
    // samples); without it the muxer ends the track at the last packet's start.
    if (packet->packet.duration <= 0)
        packet->packet.duration = av_get_audio_frame_duration2(m_outputStream->GetCodecParameters(), packet->packet.size);
    RescaleToOutput(*packet, *m_inputStream, *m_outputStream);
    PacketSequence result;
    result.push_back(std::move(packet));
    return result;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
