#include "ReadBack.h"

#include "FfmpegHandles.h"

#include <algorithm>
#include <stdexcept>

namespace mpegexport
{

FileContents ReadBack(const std::string& path)
{
    AVFormatContext* raw = nullptr;
    if (const int status = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); status < 0)
        throw std::runtime_error("cannot read back '" + path + "': " + AvErrorText(status));
    InputContextPtr context(raw);
    // FFmpeg 7.1 sets the duration only here.
    if (const int status = avformat_find_stream_info(raw, nullptr); status < 0)
        throw std::runtime_error("cannot read back '" + path + "': " + AvErrorText(status));

    // The muxer leaves out a track without samples: an export that wrote no
    // pictures is complete with no stream at all.
    FileContents contents;
    const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int audio = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (video < 0 && audio < 0 && raw->nb_streams > 0)
        throw std::runtime_error("'" + path + "' has neither video nor audio");
    if (video >= 0)
        contents.codec = avcodec_get_name(raw->streams[video]->codecpar->codec_id);
    if (audio >= 0)
        contents.audioCodec = avcodec_get_name(raw->streams[audio]->codecpar->codec_id);
    if (raw->duration != AV_NOPTS_VALUE)
        contents.seconds = static_cast<double>(raw->duration) / AV_TIME_BASE;

    // Counting packets reads the whole index and every sample's position:
    // cheap, and a truncated file shows.
    PacketPtr packet(av_packet_alloc());
    if (!packet)
        throw std::bad_alloc();
    std::int64_t audioEnd = 0;
    int status;
    while ((status = av_read_frame(raw, packet.get())) >= 0)
    {
        if (packet->stream_index == video)
            ++contents.frames;
        else if (packet->stream_index == audio)
        {
            ++contents.audioPackets;
            if (packet->pts != AV_NOPTS_VALUE)
                audioEnd = std::max(audioEnd, packet->pts + packet->duration);
        }
        av_packet_unref(packet.get());
    }
    if (status != AVERROR_EOF)
        throw std::runtime_error("cannot read back '" + path + "': " + AvErrorText(status));
    if (audio >= 0)
    {
        const AVStream& stream = *raw->streams[audio];
        const std::int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
        contents.audioSeconds = static_cast<double>(audioEnd - start) * av_q2d(stream.time_base);
    }
    return contents;
}

} // namespace mpegexport
