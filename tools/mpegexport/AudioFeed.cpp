#include "AudioFeed.h"

#include <algorithm>
#include <stdexcept>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace mpegexport
{
namespace
{
// The library recognises ADTS by the first packet's leading bytes.
constexpr std::size_t kHeaderBytes = 8;
} // namespace

AudioFeed::AudioFeed(PacketSource& source, const AudioDescription& description, std::uint64_t startTime)
    : m_source(source), m_description(description), m_startTime(startTime)
{
    if (!Peek())
        return;
    if (description.codec == AV_CODEC_ID_AAC && !HasAdtsHeader(m_next->data))
    {
        try
        {
            m_framer.emplace(description.extraData);
        }
        catch (const std::runtime_error& error)
        {
            throw std::runtime_error(description.source + ": AAC audio: " + error.what());
        }
        Frame(*m_next);
    }
    m_header.assign(m_next->data.begin(), m_next->data.begin() + std::min(kHeaderBytes, m_next->data.size()));
}

void AudioFeed::Frame(SourcePacket& packet) const
{
    try
    {
        packet.data = m_framer->Frame(packet.data);
    }
    catch (const std::runtime_error& error)
    {
        throw std::runtime_error(m_description.source + ": AAC audio: " + error.what());
    }
}

const SourcePacket* AudioFeed::Peek()
{
    if (!m_next && !m_ended)
    {
        SourcePacket packet;
        if (m_source.NextAudio(packet))
        {
            ++m_read;
            if (m_framer)
                Frame(packet);
            m_next = std::move(packet);
        }
        else
            m_ended = true;
    }
    return m_next ? &*m_next : nullptr;
}

std::unique_ptr<mpeg::StreamParametersAudio> AudioFeed::Record(mpeg::CodecIdAudio codec, std::int64_t offset)
{
    auto record = std::make_unique<mpeg::StreamParametersAudio>();
    record->startTime = FirstFrom(offset).timestamp;
    record->timeScale = m_description.sampleRate;
    record->codecId = codec;
    // Declared mono, as the library wants it; AAC and MP2 frames describe
    // their own channels, and other codecs are refused with more than one.
    record->channels = 1;
    record->channelLayout = mpeg::ChannelLayout::Mono;
    record->blockAlign = m_description.blockAlign;
    record->firstPacketHeader = m_header;
    record->codecConfiguration.extraData = m_description.extraData;
    return record;
}

mpeg::MediaPacketList AudioFeed::Take(std::int64_t until, bool whole)
{
    mpeg::MediaPacketList packets;
    for (const SourcePacket* next = Peek(); next && next->offset < until; next = Peek())
    {
        if (whole && next->offset + next->duration > until)
            break;
        if (next->offset >= 0)
        {
            auto packet = std::make_unique<mpeg::MediaPacket>();
            packet->data = std::move(m_next->data);
            packet->timestamp = m_startTime + static_cast<std::uint64_t>(next->offset);
            packets.push_back(std::move(packet));
            ++m_sent;
        }
        m_next.reset();
    }
    return packets;
}

mpeg::MediaPacket AudioFeed::FirstFrom(std::int64_t offset)
{
    // What begins before `offset` is not this file's: it went to the previous
    // file, or, before the first picture, nowhere.
    while (Peek() && m_next->offset < offset)
        m_next.reset();
    mpeg::MediaPacket packet;
    if (m_next)
    {
        packet.data = m_next->data;
        packet.timestamp = m_startTime + static_cast<std::uint64_t>(m_next->offset);
    }
    else
    {
        packet.data = m_header;
        packet.timestamp = m_startTime + static_cast<std::uint64_t>(std::max<std::int64_t>(offset, 0));
    }
    return packet;
}

} // namespace mpegexport
