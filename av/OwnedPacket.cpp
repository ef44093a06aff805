#include "av/OwnedPacket.h"

#include "av/AvResult.h"

#include <climits>
#include <cstring>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

std::unique_ptr<OwnedPacket> OwnedPacket::CopyOf(const std::uint8_t* data, std::size_t size)
{
    // FFmpeg packet sizes are int, with the padding on top.
    if (size > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
        throw AvException("::av_new_packet", AVERROR(EINVAL));
    auto owned = std::make_unique<OwnedPacket>();
    CheckAvResult(av_new_packet(&owned->packet, static_cast<int>(size)), "::av_new_packet");
    if (size > 0)
        std::memcpy(owned->packet.data, data, size);
    return owned;
}

std::unique_ptr<OwnedPacket> OwnedPacket::Adopt(std::unique_ptr<MediaPacket> host)
{
    std::vector<std::uint8_t>& data = host->data;
    if (data.empty() || data.size() > static_cast<std::size_t>(INT_MAX))
        return CopyOf(data.data(), data.size()); // nothing to adopt, or refused as a copy is
    auto owned = std::make_unique<OwnedPacket>();
    const auto release = [](void* record, std::uint8_t*) { delete static_cast<MediaPacket*>(record); };
    AVBufferRef* buffer = av_buffer_create(data.data(), static_cast<int>(data.size()), release, host.get(), 0);
    if (!buffer)
        throw AvException("::av_buffer_create", kAllocationFailed);
    host.release(); // the buffer owns the record now
    owned->packet.buf = buffer;
    owned->packet.data = buffer->data;
    owned->packet.size = buffer->size;
    return owned;
}

std::unique_ptr<OwnedPacket> OwnedPacket::RefOf(const AVPacket& source)
{
    auto owned = std::make_unique<OwnedPacket>();
    CheckAvResult(av_packet_ref(&owned->packet, &source), "::av_packet_ref");
    return owned;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
