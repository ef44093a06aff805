#include "streams/StreamProcessorVideo.h"

#include "container/AvCompat.h"
#include "container/FormatContext.h"
#include "errors/AvResult.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{
AVRational VideoSampleAspectRatio(int width, int height)
{
    if (width == 0 || static_cast<double>(height) / width >= 0.5)
        return AVRational{0, 1};
    const std::int64_t g = av_gcd(4 * static_cast<std::int64_t>(height), 3 * static_cast<std::int64_t>(width));
    if (g == 0)
        return AVRational{0, 1};
    return AVRational{static_cast<int>(4 * static_cast<std::int64_t>(height) / g),
                      static_cast<int>(3 * static_cast<std::int64_t>(width) / g)};
}

StreamProcessorVideo::StreamProcessorVideo(std::int32_t index, FormatContextInput& input,
                                           std::unique_ptr<StreamParametersVideo> parameters)
    : m_startTime(parameters->startTime),
      m_timestampOffset(parameters->timestampOffset),
      m_timeScale(parameters->timeScale),
      m_inputStream(std::make_unique<StreamVideo>(index, input, *parameters)),
      m_parameters(std::move(parameters))
{
}

void StreamProcessorVideo::Build(FormatContextOutput& output)
{
    const StreamParameters inputDescription{m_inputStream->GetCodecParameters(), m_inputStream->GetAvStream()->index,
                                            m_inputStream->GetAvStream()->time_base};
    m_outputStream = std::make_unique<StreamVideo>(output, *m_inputStream);

    const AVCodecParameters& in = *m_inputStream->GetCodecParameters();
    AVCodecParameters& out = *m_outputStream->GetCodecParameters();
    out.codec_type = in.codec_type;
    out.bit_rate = in.bit_rate;
    out.bits_per_coded_sample = in.bits_per_coded_sample;
    out.bits_per_raw_sample = in.bits_per_raw_sample;
    out.profile = in.profile;
    out.level = in.level;
    out.format = in.format;
    out.width = in.width;
    out.height = in.height;
    out.field_order = in.field_order;
    out.color_range = in.color_range;
    out.color_primaries = in.color_primaries;
    out.color_trc = in.color_trc;
    out.color_space = in.color_space;
    out.chroma_location = in.chroma_location;
    out.video_delay = in.video_delay;
    CopyExtradata(out, in);
    out.sample_aspect_ratio = VideoSampleAspectRatio(out.width, out.height);

    if (in.codec_id == out.codec_id)
    {
        m_keyPictures = std::make_unique<KeyPictures>(in);
        return;
    }

    const StreamParameters outputDescription{&out, inputDescription.streamIndex, inputDescription.timeBase};
    const AVCodec* encoder = FindCodec(avcodec_find_encoder, out.codec_id);
    AllocateCodecContext(encoder); // fails like the encoder's own set-up would
    bool keepFormat = false;
    const AVPixelFormat* formats = SupportedPixelFormats(encoder);
    for (const AVPixelFormat* f = formats; f && *f != AV_PIX_FMT_NONE; ++f)
        keepFormat = keepFormat || *f == in.format;
    if (!keepFormat && formats)
        out.format = formats[0];
    const bool globalHeader = (output.GetAvFormatContext()->oformat->flags & AVFMT_GLOBALHEADER) != 0;
    m_transcoder = std::make_unique<Transcoder>(inputDescription, outputDescription, globalHeader);
}

PacketSequence StreamProcessorVideo::Process(MediaPacketList packets)
{
    return ProcessBatch(*this, packets);
}

PacketSequence StreamProcessorVideo::ProcessPacket(std::unique_ptr<MediaPacket> hostPacket)
{
    PacketSequence result;
    if (hostPacket->timestamp < m_startTime)
        return result;

    const std::uint64_t ticks = ElapsedTicks(hostPacket->timestamp, m_startTime, m_timeScale);
    std::int64_t candidate = m_timestampOffset + static_cast<std::int64_t>(ticks);
    // Times start above tick 0, so a first picture on tick 0 is shown one tick
    // later. At the frame rate that pushes every later picture one tick on as
    // well; at a finer time scale it would leave the first picture one tick
    // short (the frame rate and seeks go wrong). So such a stream is moved one
    // tick later as a whole, at any time scale.
    if (m_lastPts == 0)
        m_startShift = candidate == 0 ? 1 : 0;
    candidate += m_startShift;
    const std::int64_t pts = NextPts(candidate, m_lastPts);
    if (m_lastPts > 0 && IsVideoClockJump(pts - m_lastPts, m_inputStream->GetAvStream()->time_base))
        m_coveredFrom = pts;
    m_lastPts = pts;

    // Copied pictures go only to the muxer, which needs no padding; decoders do.
    auto owned = m_transcoder ? OwnedPacket::CopyOf(hostPacket->data.data(), hostPacket->data.size())
                              : OwnedPacket::Adopt(std::move(hostPacket));
    owned->packet.stream_index = m_outputStream->GetAvStream()->index;
    owned->packet.pts = pts;

    if (!m_transcoder)
    {
        SetDecodingTime(owned->packet);
        if (m_keyPictures->IsKey(owned->packet))
            owned->packet.flags |= AV_PKT_FLAG_KEY;
        RescaleToOutput(*owned, *m_inputStream, *m_outputStream);
        result.push_back(std::move(owned));
        return result;
    }
    result = m_transcoder->TranscodePacket(*owned);
    FinishEncoded(result);
    return result;
}

// Pictures are never reordered here (presentation times increase in decoding
// order), so each is decoded one tick before it is shown: decoding times are
// times, and the file keeps each picture's real length at any time scale and
// across dropped pictures. At a time scale equal to a steady frame rate they
// are the ordinals 0, 1, 2, ... against pts 1, 2, 3, ...
// The muxer takes the last picture's length from its duration: as long as
// the pictures before it lasted (the shorter of the last two intervals, so a
// picture after a long gap does not stretch the file by that gap), and never
// less than the minimum that keeps it inside the track.
void StreamProcessorVideo::SetDecodingTime(AVPacket& packet)
{
    packet.dts = packet.pts - 1;
    std::int64_t interval = m_lastTimedPts > 0 ? packet.pts - m_lastTimedPts : 0;
    const std::int64_t previous = m_lastInterval;
    m_lastInterval = interval;
    if (previous > 0)
        interval = std::min(interval, previous);
    packet.duration = std::max(interval, MinimumDuration(m_timeScale));
    m_lastTimedPts = packet.pts;
}

void StreamProcessorVideo::FinishEncoded(PacketSequence& packets)
{
    // The encoder makes no B-pictures, so its output keeps the input's order
    // and pts. It is timed like a copied packet: its own dts = pts would play
    // alike, but one rule keeps both paths' files timed the same.
    for (auto& p : packets)
    {
        SetDecodingTime(p->packet);
        RescaleToOutput(*p, *m_inputStream, *m_outputStream);
    }
}

std::int64_t StreamProcessorVideo::CoveredFrom() const
{
    return av_rescale_q(m_coveredFrom, m_inputStream->GetAvStream()->time_base,
                        m_outputStream->GetAvStream()->time_base);
}

PacketSequence StreamProcessorVideo::Flush()
{
    if (!m_transcoder)
        return {};
    PacketSequence result = m_transcoder->FlushPackets();
    FinishEncoded(result);
    return result;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
