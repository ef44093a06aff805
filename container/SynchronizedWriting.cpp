#include "container/FormatContext.h"

#include <algorithm>

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
        // Video covers the span up to its last picture before a clock jump.
        std::int64_t covered = video.front()->packet.pts;
        for (const auto& picture : video)
        {
            if (IsVideoClockJump(picture->packet.pts - covered, m_videoTimeBase))
                break;
            covered = picture->packet.pts;
        }
        const std::int64_t videoEnd = av_rescale_q(covered, m_videoTimeBase, m_audioTimeBase);
        const std::int64_t end = audio.empty() ? videoEnd : audio.front()->packet.pts;
        // Only a gap longer than one step is filled, and a filler never ends
        // past the span. Transcoded audio may start before its first sample
        // (the encoder's priming packet): the fillers end before it. PCM
        // silence can be cut to any length, and must be: a PCM track has no
        // gaps, so a shortfall would play the audio after it early.
        const bool fill = m_silenceDivisible ? start < end : (end - start) / step >= 1 && start + step < end;
        if (fill && !EndsBeyondVideo(end, videoEnd, m_audioTimeBase))
        {
            const AVPacket& silence = m_silencePacket->packet;
            std::int64_t t = start;
            for (; t + step < end; t += step)
            {
                if (t <= m_lastAudioTimestamp)
                    continue;
                // A reference, not a copy: an hour of fillers shares one payload.
                auto filler = OwnedPacket::RefOf(silence);
                filler->packet.pts = t;
                filler->packet.dts = t;
                WritePacket(filler->packet);
                m_lastAudioTimestamp = t;
            }
            t = std::max(t, m_lastAudioTimestamp + 1);
            if (m_silenceDivisible && t < end)
            {
                const std::int64_t bytesPerTick = silence.size / step;
                auto filler = OwnedPacket::CopyOf(silence.data, static_cast<std::size_t>((end - t) * bytesPerTick));
                filler->packet.stream_index = silence.stream_index;
                filler->packet.pts = t;
                filler->packet.dts = t;
                filler->packet.duration = end - t;
                WritePacket(filler->packet);
                m_lastAudioTimestamp = end - 1;
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
        // The last tick the packet covers: a filler must not overlap audio
        // already written. This matters where the silence step is shorter
        // than an audio packet (PCM: one sample against a packet of many),
        // which a sample-counted track would otherwise play late.
        m_lastAudioTimestamp = packet->packet.pts + std::max<std::int64_t>(packet->packet.duration, 1) - 1;
        WritePacket(packet->packet);
        packet.reset();
    }
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
