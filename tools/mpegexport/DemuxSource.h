#pragma once

// The first video stream of a media file, read with libavformat.

#include "FfmpegHandles.h"
#include "Source.h"

namespace mpegexport
{

class DemuxSource final : public PacketSource
{
public:
    // Throws std::runtime_error when the file cannot be read or has no video.
    explicit DemuxSource(const std::string& path);

    const SourceInfo& Info() const override { return m_info; }
    bool Next(SourcePacket& packet) override;
    double Fraction() const override;

private:
    std::int64_t OffsetOf(const AVPacket& packet);

    InputContextPtr m_context;
    PacketPtr m_packet;
    int m_streamIndex = -1;
    AVRational m_timeBase{0, 1};
    SourceInfo m_info;
    std::int64_t m_firstTimestamp = AV_NOPTS_VALUE;
    std::int64_t m_lastOffset = 0;
    std::int64_t m_frameTicks = 0; // one nominal frame in host ticks; 0 when unknown
    std::int64_t m_size = -1;
    bool m_started = false;
};

} // namespace mpegexport
