#pragma once

// The first video stream and the first audio stream of a media file, read
// with libavformat; or only one of them.

#include "FfmpegHandles.h"
#include "Source.h"

#include <deque>
#include <optional>

namespace mpegexport
{

class DemuxSource final : public PacketSource
{
public:
    enum class Streams
    {
        VideoAndAudio, // video required, audio when the file has some
        VideoOnly,
        AudioOnly, // audio required
    };

    // Throws std::runtime_error when the file cannot be read or lacks the
    // required stream.
    DemuxSource(const std::string& path, Streams streams);

    const SourceInfo& Info() const override { return m_info; }
    bool Next(SourcePacket& packet) override;
    bool NextAudio(SourcePacket& packet) override;
    double Fraction() const override;
    std::vector<std::string> Notes() const override { return m_notes; }

private:
    // A packet read ahead of its turn, timed in host ticks on the file's
    // clock; AV_NOPTS_VALUE when the input gave it no time.
    struct Queued
    {
        std::vector<std::uint8_t> data;
        std::int64_t time = AV_NOPTS_VALUE;
        std::int64_t duration = 0;
        bool key = false;
        bool corrupt = false; // the demuxer could not read all of it
    };

    struct Track
    {
        int index = -1;
        AVRational timeBase{0, 1};
        std::deque<Queued> queue;
    };

    void DescribeVideo(const AVStream& stream);
    void DescribeAudio(const AVStream& stream);
    // Reads until `track` has a packet waiting; false at the end of the file.
    bool Fill(Track& track);
    bool Pop(Track& track, Queued& out);
    // Whether the stream's last picture is cut short: the demuxer says so,
    // or it fails to decode after the pictures since the last key picture.
    bool CutShort(const Queued& last) const;

    InputContextPtr m_context;
    PacketPtr m_packet;
    Track m_video;
    Track m_audio;
    SourceInfo m_info;
    bool m_end = false;
    bool m_videoSeen = false;    // a video packet has been read
    bool m_videoStarted = false; // a video packet has been handed out
    // Host time of offset 0: the first timed video packet's. Audio is timed
    // against it, so that both streams keep their distance from the file.
    std::optional<std::int64_t> m_origin;
    std::int64_t m_lastOffset = 0;  // of the last video packet handed out
    std::int64_t m_audioEnd = 0;    // where the last audio packet handed out ends
    std::int64_t m_frameTicks = 0;  // one nominal frame in host ticks; 0 when unknown
    std::int64_t m_size = -1;
    // The video packets since the last key picture, for CutShort; dropped
    // (and the check skipped) when they outgrow a sane group of pictures.
    std::vector<std::vector<std::uint8_t>> m_sinceKey;
    std::size_t m_sinceKeyBytes = 0;
    bool m_sinceKeyLost = false;
    // 16-bit little-endian PCM is handed over big-endian, as the library takes it.
    bool m_swapAudioBytes = false;
    std::vector<std::string> m_notes;
};

} // namespace mpegexport
