#include "video/StreamProcessorVideo.h"

#include "av/AvCompat.h"
#include "mux/FormatContext.h"
#include "av/AvResult.h"
#include "sync/ClockPolicy.h"

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
    const CodecDescription inputDescription{m_inputStream->GetCodecParameters(), m_inputStream->GetAvStream()->index,
                                            m_inputStream->GetAvStream()->time_base};
    m_outputStream = std::make_unique<StreamVideo>(output, *m_inputStream);
    // A day between two pictures must fit one sample's duration.
    const AVRational trackTimeBase{1, TrackTimeScale(m_timeScale)};
    m_outputStream->GetAvStream()->time_base = trackTimeBase;

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

    m_keyPictures = std::make_unique<KeyPictures>(in);
    if (in.codec_id == out.codec_id)
        return;

    // MPEG-4 part 2 refuses clocks finer than 65535 ticks a second.
    const CodecDescription outputDescription{&out, inputDescription.streamIndex, trackTimeBase};
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

std::int32_t StreamProcessorVideo::OffsetIn(std::int32_t timeScale) const
{
    const auto product = static_cast<std::int32_t>(static_cast<std::int64_t>(m_timestampOffset) * m_timeScale);
    return product / timeScale;
}

PacketSequence StreamProcessorVideo::Process(MediaPacketList packets)
{
    return ProcessBatch(*this, packets);
}

PacketSequence StreamProcessorVideo::ProcessPacket(std::unique_ptr<MediaPacket> hostPacket)
{
    PacketSequence result;
    const std::optional<std::int64_t> elapsed = Elapsed(hostPacket->timestamp, m_startTime);
    if (!elapsed)
        return result;
    // An empty picture carries nothing to show; to a decoder it would end the stream.
    if (hostPacket->data.empty())
    {
        ++m_skipped;
        return result;
    }
    const std::int64_t pts = PresentationTime(*elapsed);
    const int index = m_outputStream->GetAvStream()->index;

    if (!m_transcoder)
    {
        // Copied pictures go only to the muxer, which needs no padding.
        auto owned = OwnedPacket::Adopt(std::move(hostPacket));
        owned->packet.stream_index = index;
        owned->packet.pts = pts;
        if (m_keyPictures->IsKey(owned->packet))
            owned->packet.flags |= AV_PKT_FLAG_KEY;
        Time(owned->packet, m_inputStream->GetAvStream()->time_base);
        result.push_back(std::move(owned));
        return result;
    }
    // Decoders read past the end: a padded copy.
    auto owned = OwnedPacket::CopyOf(hostPacket->data.data(), hostPacket->data.size());
    // After a picture that does not decode, the pictures that refer to it
    // would show garbage: decoding starts again at the next key picture,
    // as players do.
    if (m_awaitingKey && !m_keyPictures->IsKey(owned->packet))
    {
        ++m_skipped;
        return result;
    }
    // The encoder's clock may be coarser than the host's, and its times must still increase.
    owned->packet.stream_index = index;
    const AVRational encoderTimeBase = m_transcoder->EncoderTimeBase();
    const std::int64_t encoderPts =
        NextPts(av_rescale_q(pts, m_inputStream->GetAvStream()->time_base, encoderTimeBase), m_encoderPts);
    owned->packet.pts = encoderPts;
    m_awaitingKey = !m_transcoder->TranscodePacket(*owned, result);
    if (m_awaitingKey)
    {
        ++m_skipped;
        return result;
    }
    m_encoderPts = encoderPts;
    for (auto& packet : result)
        Time(packet->packet, encoderTimeBase);
    return result;
}

// Times start at tick 0 and only increase. Two pictures further apart than a
// clock jump are the host's clock jumping: the stream goes on one picture
// later, as if no time had passed (the audio closes up the same jump).
std::int64_t StreamProcessorVideo::PresentationTime(std::int64_t elapsed)
{
    const std::int64_t candidate = m_timestampOffset + ElapsedTicks(elapsed, m_timeScale) - m_closedUp;
    std::int64_t pts = NextPts(candidate, m_lastPts);
    if (m_lastPts >= 0 && IsClockJump(pts - m_lastPts, m_inputStream->GetAvStream()->time_base))
    {
        const std::int64_t step = std::max<std::int64_t>(m_lastStep, 1);
        m_closedUp += pts - m_lastPts - step;
        pts = m_lastPts + step;
    }
    m_lastStep = m_lastPts >= 0 ? pts - m_lastPts : 0;
    m_lastPts = pts;
    return pts;
}

// Pictures are never reordered here (presentation times increase in decoding
// order), so each is decoded one tick before it is shown: the first at -1,
// which the muxer's edit list handles as for any stream with reordering, so
// that the first picture shows at 0 with the audio that came with it.
// The muxer takes the last picture's length from its duration: as long as
// the pictures before it lasted (the shorter of the last two intervals, so a
// picture after a long gap does not stretch the file by that gap), and never
// less than the minimum that keeps it inside the track.
void StreamProcessorVideo::Time(AVPacket& packet, AVRational from)
{
    const AVRational to = m_outputStream->GetAvStream()->time_base;
    const std::int64_t pts = NextPts(av_rescale_q(packet.pts, from, to), m_lastOutputPts);
    std::int64_t interval = m_lastOutputPts >= 0 ? pts - m_lastOutputPts : 0;
    const std::int64_t previous = m_lastInterval;
    m_lastInterval = interval;
    if (previous > 0)
        interval = std::min(interval, previous);
    packet.pts = pts;
    packet.dts = pts - 1;
    packet.duration = std::max(interval, MinimumDuration(to.den));
    packet.pos = -1;
    m_lastOutputPts = pts;
}

PacketSequence StreamProcessorVideo::Flush()
{
    if (!m_transcoder)
        return {};
    PacketSequence result = m_transcoder->FlushPackets();
    const AVRational encoderTimeBase = m_transcoder->EncoderTimeBase();
    for (auto& packet : result)
        Time(packet->packet, encoderTimeBase);
    return result;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
