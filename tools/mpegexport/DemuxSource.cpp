#include "DemuxSource.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <stdexcept>

namespace mpegexport
{
namespace
{
constexpr AVRational kHostTimeBase{1, static_cast<int>(kHostTicksPerSecond)};

bool Usable(AVRational rate)
{
    return rate.num > 0 && rate.den > 0;
}
} // namespace

DemuxSource::DemuxSource(const std::string& path)
    : m_packet(av_packet_alloc())
{
    if (!m_packet)
        throw std::bad_alloc();
    AVFormatContext* raw = nullptr;
    if (const int status = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); status < 0)
        throw std::runtime_error("cannot open '" + path + "': " + AvErrorText(status));
    m_context.reset(raw);
    if (const int status = avformat_find_stream_info(raw, nullptr); status < 0)
        throw std::runtime_error("cannot read '" + path + "': " + AvErrorText(status));

    for (unsigned i = 0; i < raw->nb_streams; ++i)
    {
        const AVStream* stream = raw->streams[i];
        const AVCodecParameters* parameters = stream->codecpar;
        // Cover art is a still picture, not the video.
        if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && m_streamIndex < 0 &&
            !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            m_streamIndex = static_cast<int>(i);
        else if (parameters->codec_type == AVMEDIA_TYPE_AUDIO && m_info.audioCodec.empty())
            m_info.audioCodec = avcodec_get_name(parameters->codec_id);
    }
    if (m_streamIndex < 0)
        throw std::runtime_error("'" + path + "' has no video stream");

    // Only the chosen stream's packets need reading.
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (static_cast<int>(i) != m_streamIndex)
            raw->streams[i]->discard = AVDISCARD_ALL;

    const AVStream* stream = raw->streams[m_streamIndex];
    const AVCodecParameters* parameters = stream->codecpar;
    m_timeBase = stream->time_base;
    m_info.name = path;
    m_info.video.codec = parameters->codec_id;
    m_info.video.width = parameters->width;
    m_info.video.height = parameters->height;
    if (parameters->extradata_size > 0)
        m_info.video.extraData.assign(parameters->extradata, parameters->extradata + parameters->extradata_size);
    // The average holds the total duration together when the rate varies.
    if (Usable(stream->avg_frame_rate))
        m_info.video.frameRate = stream->avg_frame_rate;
    else if (Usable(stream->r_frame_rate))
        m_info.video.frameRate = stream->r_frame_rate;
    if (Usable(m_info.video.frameRate))
        m_frameTicks = av_rescale_q(1, av_inv_q(m_info.video.frameRate), kHostTimeBase);

    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        m_info.durationSeconds = static_cast<double>(stream->duration) * av_q2d(m_timeBase);
    else if (raw->duration != AV_NOPTS_VALUE && raw->duration > 0)
        m_info.durationSeconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
    if (raw->pb)
        m_size = avio_size(raw->pb);
}

std::int64_t DemuxSource::OffsetOf(const AVPacket& packet)
{
    const std::int64_t timestamp = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    if (timestamp == AV_NOPTS_VALUE)
        // Untimed packets follow the previous one by a nominal frame.
        return m_started ? m_lastOffset + m_frameTicks : 0;
    if (m_firstTimestamp == AV_NOPTS_VALUE)
        m_firstTimestamp = timestamp;
    return av_rescale_q(timestamp - m_firstTimestamp, m_timeBase, kHostTimeBase);
}

bool DemuxSource::Next(SourcePacket& out)
{
    AVFormatContext* context = m_context.get();
    while (true)
    {
        const int status = av_read_frame(context, m_packet.get());
        if (status == AVERROR_EOF)
            return false;
        if (status < 0)
            throw std::runtime_error("cannot read '" + m_info.name + "': " + AvErrorText(status));
        if (m_packet->stream_index != m_streamIndex)
        {
            av_packet_unref(m_packet.get());
            continue;
        }
        out.data.assign(m_packet->data, m_packet->data + m_packet->size);
        out.offset = OffsetOf(*m_packet);
        out.key = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
        m_lastOffset = out.offset;
        m_started = true;
        av_packet_unref(m_packet.get());
        return true;
    }
}

double DemuxSource::Fraction() const
{
    if (m_info.durationSeconds > 0)
    {
        const double fraction = static_cast<double>(m_lastOffset) / kHostTicksPerSecond / m_info.durationSeconds;
        return fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    }
    if (m_size > 0 && m_context->pb)
        return static_cast<double>(avio_tell(m_context->pb)) / static_cast<double>(m_size);
    return -1;
}

} // namespace mpegexport
