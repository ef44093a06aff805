#include "container/FormatContext.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

void FormatContextOutput::WriteSynchronized(PacketSequence video, PacketSequence audio)
{
    const std::int64_t step = m_silenceDuration;
    // Without a usable silence packet there is nothing to fill with; an empty
    // video batch gives no span to fill.
    if (m_silencePacket && step > 0 && !video.empty())
    {
        const std::int64_t start = av_rescale_q(video.front()->packet.pts, m_videoTimeBase, m_audioTimeBase);
        const std::int64_t end = audio.empty() ? av_rescale_q(video.back()->packet.pts, m_videoTimeBase, m_audioTimeBase)
                                               : audio.front()->packet.pts;
        // Only a gap longer than one step is filled, and a filler never ends
        // past the span.
        if ((end - start) / step >= 1 && start + step < end)
        {
            const AVPacket& silence = m_silencePacket->packet;
            for (std::int64_t t = start; t + step < end; t += step)
            {
                if (t <= m_lastAudioTimestamp)
                    continue;
                auto filler = OwnedPacket::CopyOf(silence.data, static_cast<std::size_t>(silence.size));
                filler->packet.stream_index = silence.stream_index;
                filler->packet.pts = t;
                filler->packet.dts = t;
                WritePacket(filler->packet);
                m_lastAudioTimestamp = t;
            }
        }
    }

    for (auto& packet : video)
    {
        WritePacket(packet->packet);
        packet.reset();
    }
    for (auto& packet : audio)
    {
        m_lastAudioTimestamp = packet->packet.pts;
        WritePacket(packet->packet);
        packet.reset();
    }
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
