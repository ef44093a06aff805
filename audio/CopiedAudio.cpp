#include "audio/CopiedAudio.h"

#include "streams/PacketTiming.h"
#include "sync/ClockPolicy.h"
#include "av/Codec.h"

#include <algorithm>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

CopiedAudio::CopiedAudio(const Stream& input, const Stream& output, std::unique_ptr<OwnedPacket> silence)
    : m_input(input), m_output(output), m_silence(std::move(silence)), m_silenceTicks(m_silence->packet.duration)
{
    const AVCodecParameters& codec = *output.GetCodecParameters();
    m_bytesPerSample = IsPcmFrameSizeCodec(codec.codec_id)
                           ? av_get_bits_per_sample(codec.codec_id) / 8 * codec.ch_layout.nb_channels
                           : 0;
    if (m_silenceTicks <= 0 || (m_bytesPerSample > 0 && m_silence->packet.size < m_silenceTicks * m_bytesPerSample))
        throw FfMpegFacadeException("CopiedAudio::CopiedAudio", "the silent packet has no usable length");
}

void CopiedAudio::Fill(std::int64_t ticks, PacketSequence& out)
{
    for (; ticks >= m_silenceTicks; ticks -= m_silenceTicks)
        // A reference, not a copy: an hour of fillers shares one payload.
        Emit(OwnedPacket::RefOf(m_silence->packet), m_silenceTicks, out);
    // PCM silence is cut to end exactly where it must.
    if (ticks > 0 && m_bytesPerSample > 0)
        Emit(OwnedPacket::CopyOf(m_silence->packet.data, static_cast<std::size_t>(ticks * m_bytesPerSample)), ticks,
             out);
}

void CopiedAudio::FillToEnd(std::int64_t ticks, PacketSequence& out)
{
    const std::int64_t whole = ticks / m_silenceTicks * m_silenceTicks;
    Fill(whole, out);
    if (ticks > whole && m_bytesPerSample == 0)
        Emit(OwnedPacket::RefOf(m_silence->packet), ticks - whole, out);
    else if (ticks > whole)
        Fill(ticks - whole, out);
}

std::int64_t CopiedAudio::Skip(std::int64_t ticks)
{
    // The sample before the gap lasts the gap and itself.
    const std::int64_t skipped = std::clamp<std::int64_t>(ticks, 0, kLongestSample - 2 * m_silenceTicks);
    m_end += skipped;
    return skipped;
}

bool CopiedAudio::Append(std::unique_ptr<OwnedPacket> owned, std::int64_t trim, PacketSequence& out)
{
    AVPacket& packet = owned->packet;
    if (packet.size <= 0)
        return false;
    std::int64_t ticks = packet.duration;
    if (m_bytesPerSample > 0 && trim > 0)
    {
        // The packet owns its bytes; it only starts later in them.
        const auto cut = static_cast<int>(std::min<std::int64_t>(trim, ticks) * m_bytesPerSample);
        packet.data += cut;
        packet.size -= cut;
        ticks -= trim;
    }
    Emit(std::move(owned), ticks, out);
    return true;
}

void CopiedAudio::Emit(std::unique_ptr<OwnedPacket> owned, std::int64_t ticks, PacketSequence& out)
{
    AVPacket& packet = owned->packet;
    packet.stream_index = m_output.GetAvStream()->index;
    packet.pts = m_end;
    packet.dts = m_end;
    packet.duration = ticks;
    m_end += ticks;
    RescaleToOutput(*owned, m_input, m_output);
    out.push_back(std::move(owned));
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
