#include "audio/BitstreamFilter.h"

#include "av/AvResult.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

BitstreamFilter::BitstreamFilter(const std::string& name, const AVCodecParameters& parameters)
{
    const AVBitStreamFilter* filter = av_bsf_get_by_name(name.c_str());
    if (!filter)
        throw AvException("::av_bsf_get_by_name", kAllocationFailed);
    AVBSFContext* context = nullptr;
    CheckAvResult(av_bsf_alloc(filter, &context), "::av_bsf_alloc");
    if (!context)
        throw AvException("::av_bsf_alloc", kAllocationFailed);
    m_context.reset(context);
    // A failed copy shows up as a failed av_bsf_init just below.
    avcodec_parameters_copy(m_context->par_in, &parameters);
    // No time base is set: the filter keeps the timestamps it is given.
    CheckAvResult(av_bsf_init(m_context.get()), "::av_bsf_init");
}

PacketSequence BitstreamFilter::Filter(std::unique_ptr<OwnedPacket> packet)
{
    const int sent = av_bsf_send_packet(m_context.get(), &packet->packet);
    if (sent != AVERROR(EAGAIN))
        CheckAvResult(sent, "::av_bsf_send_packet");

    // The filter took the packet's reference; what comes back goes into the
    // same object. Any answer but 0 ends the loop unreported: a header that
    // cannot be parsed drops the packet without an error.
    PacketSequence filtered;
    while (packet && av_bsf_receive_packet(m_context.get(), &packet->packet) == 0)
    {
        filtered.push_back(std::move(packet));
        packet = std::make_unique<OwnedPacket>();
    }
    return filtered;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
