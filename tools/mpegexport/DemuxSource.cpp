#include "DemuxSource.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <stdexcept>

namespace mpegexport
{
namespace
{
constexpr AVRational kHostTimeBase{1, static_cast<int>(kHostTicksPerSecond)};

// More than this since the last key picture is not a group of pictures
// worth holding on to for the end-of-stream check.
constexpr std::size_t kMaxSinceKeyBytes = 64 << 20;

bool Usable(AVRational rate)
{
    return rate.num > 0 && rate.den > 0;
}

// The first stream of a type; cover art is a still picture, not the video.
int FirstStream(const AVFormatContext& context, AVMediaType type)
{
    for (unsigned i = 0; i < context.nb_streams; ++i)
    {
        const AVStream& stream = *context.streams[i];
        if (stream.codecpar->codec_type == type && !(stream.disposition & AV_DISPOSITION_ATTACHED_PIC))
            return static_cast<int>(i);
    }
    return -1;
}
} // namespace

DemuxSource::DemuxSource(const std::string& path, Streams streams)
    : m_packet(av_packet_alloc())
{
    if (!m_packet)
        throw std::bad_alloc();
    // Headerless G.711 (.ul, .al) does not say its rate; telephony audio is
    // 8 kHz. Demuxers that read the rate from the file ignore the option.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "sample_rate", "8000", 0);
    AVFormatContext* raw = nullptr;
    const int opened = avformat_open_input(&raw, path.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0)
        throw std::runtime_error("cannot open '" + path + "': " + AvErrorText(opened));
    m_context.reset(raw);
    if (const int status = avformat_find_stream_info(raw, nullptr); status < 0)
        throw std::runtime_error("cannot read '" + path + "': " + AvErrorText(status));

    m_info.name = path;
    if (streams != Streams::AudioOnly)
    {
        m_video.index = FirstStream(*raw, AVMEDIA_TYPE_VIDEO);
        if (m_video.index < 0)
            throw std::runtime_error("'" + path + "' has no video stream");
        DescribeVideo(*raw->streams[m_video.index]);
    }
    if (streams != Streams::VideoOnly)
    {
        m_audio.index = FirstStream(*raw, AVMEDIA_TYPE_AUDIO);
        if (m_audio.index < 0 && streams == Streams::AudioOnly)
            throw std::runtime_error("'" + path + "' has no audio stream");
        if (m_audio.index >= 0)
            DescribeAudio(*raw->streams[m_audio.index]);
    }

    // Only the chosen streams' packets need reading.
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (static_cast<int>(i) != m_video.index && static_cast<int>(i) != m_audio.index)
            raw->streams[i]->discard = AVDISCARD_ALL;

    const int main = m_video.index >= 0 ? m_video.index : m_audio.index;
    const AVStream* stream = raw->streams[main];
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
        m_info.durationSeconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    else if (raw->duration != AV_NOPTS_VALUE && raw->duration > 0)
        m_info.durationSeconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
    if (raw->pb)
        m_size = avio_size(raw->pb);
}

void DemuxSource::DescribeVideo(const AVStream& stream)
{
    const AVCodecParameters& parameters = *stream.codecpar;
    m_video.timeBase = stream.time_base;
    VideoDescription& video = m_info.video;
    video.codec = parameters.codec_id;
    video.width = parameters.width;
    video.height = parameters.height;
    if (parameters.extradata_size > 0)
        video.extraData.assign(parameters.extradata, parameters.extradata + parameters.extradata_size);
    // The average holds the total duration together when the rate varies.
    if (Usable(stream.avg_frame_rate))
        video.frameRate = stream.avg_frame_rate;
    else if (Usable(stream.r_frame_rate))
        video.frameRate = stream.r_frame_rate;
    if (Usable(video.frameRate))
        m_frameTicks = av_rescale_q(1, av_inv_q(video.frameRate), kHostTimeBase);
    // Set by probing from the bitstream's reorder depth or from pictures
    // seen out of order.
    video.reordered = parameters.video_delay > 0;
}

void DemuxSource::DescribeAudio(const AVStream& stream)
{
    const AVCodecParameters& parameters = *stream.codecpar;
    m_audio.timeBase = stream.time_base;
    AudioDescription audio;
    audio.source = m_info.name;
    audio.codec = parameters.codec_id;
    if (audio.codec == AV_CODEC_ID_PCM_S16LE)
    {
        // A WAV file's usual content: the same samples with their bytes swapped.
        audio.codec = AV_CODEC_ID_PCM_S16BE;
        m_swapAudioBytes = true;
    }
    audio.sampleRate = parameters.sample_rate;
    audio.channels = parameters.ch_layout.nb_channels;
    audio.blockAlign = parameters.block_align;
    audio.bitsPerSample = parameters.bits_per_coded_sample;
    const int rate = parameters.sample_rate;
    if (audio.bitsPerSample <= 0 && rate > 0)
        audio.bitsPerSample = static_cast<int>((parameters.bit_rate + rate / 2) / rate);
    if (parameters.extradata_size > 0)
        audio.extraData.assign(parameters.extradata, parameters.extradata + parameters.extradata_size);
    m_info.audio = std::move(audio);
}

bool DemuxSource::Fill(Track& track)
{
    while (track.queue.empty())
    {
        if (m_end || track.index < 0)
            return false;
        const int status = av_read_frame(m_context.get(), m_packet.get());
        if (status == AVERROR_EOF)
        {
            m_end = true;
            return false;
        }
        if (status < 0)
            throw std::runtime_error("cannot read '" + m_info.name + "': " + AvErrorText(status));
        const AVPacket& packet = *m_packet;
        const bool video = packet.stream_index == m_video.index;
        // Streams that turn up later in the file are not discarded by default.
        if (!video && packet.stream_index != m_audio.index)
        {
            av_packet_unref(m_packet.get());
            continue;
        }
        Track& owner = video ? m_video : m_audio;
        Queued queued;
        queued.data.assign(packet.data, packet.data + packet.size);
        const std::int64_t timestamp = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
        if (timestamp != AV_NOPTS_VALUE)
            queued.time = av_rescale_q(timestamp, owner.timeBase, kHostTimeBase);
        queued.duration = av_rescale_q(packet.duration, owner.timeBase, kHostTimeBase);
        queued.key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
        queued.corrupt = (packet.flags & AV_PKT_FLAG_CORRUPT) != 0;
        av_packet_unref(m_packet.get());
        if (!video && m_swapAudioBytes)
            for (std::size_t i = 0; i + 1 < queued.data.size(); i += 2)
                std::swap(queued.data[i], queued.data[i + 1]);
        if (video && queued.time != AV_NOPTS_VALUE && !m_origin)
            m_origin = queued.time;
        m_videoSeen = m_videoSeen || video;
        owner.queue.push_back(std::move(queued));
    }
    return true;
}

bool DemuxSource::Pop(Track& track, Queued& out)
{
    if (!Fill(track))
        return false;
    out = std::move(track.queue.front());
    track.queue.pop_front();
    return true;
}

bool DemuxSource::Next(SourcePacket& out)
{
    Queued packet;
    if (!Pop(m_video, packet))
        return false;
    // A stream cut off mid-picture, as a recording ends when its writer is
    // killed, leaves a last picture that players refuse to decode. Reading
    // one packet ahead tells which one is the last.
    if (!Fill(m_video) && CutShort(packet))
    {
        m_notes.push_back(m_info.name + ": left out the last picture, which is cut short and does not decode");
        return false;
    }
    if (packet.key)
    {
        m_sinceKey.clear();
        m_sinceKeyBytes = 0;
        m_sinceKeyLost = false;
    }
    m_sinceKeyBytes += packet.data.size();
    if (m_sinceKeyBytes > kMaxSinceKeyBytes)
        m_sinceKeyLost = true;
    if (m_sinceKeyLost)
        m_sinceKey.clear();
    else
        m_sinceKey.push_back(packet.data);
    // Untimed packets follow the previous one by a nominal frame. A timed
    // packet has set the origin when it was read, if nothing had before.
    if (packet.time == AV_NOPTS_VALUE)
        out.offset = m_videoStarted ? m_lastOffset + m_frameTicks : 0;
    else
        out.offset = packet.time - *m_origin;
    out.data = std::move(packet.data);
    out.key = packet.key;
    m_lastOffset = out.offset;
    m_videoStarted = true;
    return true;
}

bool DemuxSource::NextAudio(SourcePacket& out)
{
    Queued packet;
    if (!Pop(m_audio, packet))
        return false;
    // The clock starts with the video: read on to its first packet. A file
    // without timed video starts the clock with its audio.
    while (!m_videoSeen && !m_end && m_video.index >= 0)
        Fill(m_video);
    if (!m_origin && packet.time != AV_NOPTS_VALUE)
        m_origin = packet.time;
    // Untimed packets follow the previous one.
    out.offset = packet.time == AV_NOPTS_VALUE ? m_audioEnd : packet.time - *m_origin;
    out.data = std::move(packet.data);
    out.duration = packet.duration;
    out.key = true;
    m_audioEnd = out.offset + packet.duration;
    return true;
}

bool DemuxSource::CutShort(const Queued& last) const
{
    if (last.corrupt)
        return true;
    if (m_sinceKeyLost)
        return false;
    const AVCodecParameters& parameters = *m_context->streams[m_video.index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
    if (!codec)
        return false;
    CodecContextPtr decoder(avcodec_alloc_context3(codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!decoder || !frame || !packet)
        throw std::bad_alloc();
    if (avcodec_parameters_to_context(decoder.get(), &parameters) < 0)
        return false;
    // Players stop at a damaged picture; so does this check. One thread
    // reports each error with the packet that caused it.
    decoder->err_recognition |= AV_EF_EXPLODE;
    decoder->thread_count = 1;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return false;
    // Sends one packet (null: the end) and takes what comes out; false when
    // the decoder reports an error.
    const auto decodes = [&](const std::vector<std::uint8_t>* data) {
        if (data)
        {
            if (av_new_packet(packet.get(), static_cast<int>(data->size())) < 0)
                throw std::bad_alloc();
            std::copy(data->begin(), data->end(), packet->data);
        }
        const int sent = avcodec_send_packet(decoder.get(), data ? packet.get() : nullptr);
        av_packet_unref(packet.get());
        if (sent < 0)
            return false;
        int status;
        while ((status = avcodec_receive_frame(decoder.get(), frame.get())) >= 0)
            av_frame_unref(frame.get());
        return status == AVERROR(EAGAIN) || status == AVERROR_EOF;
    };
    for (const auto& data : m_sinceKey)
        if (!decodes(&data))
            return false; // damaged earlier: not a cut at the end
    return !decodes(&last.data) || !decodes(nullptr);
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
