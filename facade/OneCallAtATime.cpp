#include "facade/OneCallAtATime.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

OneCallAtATime::Turn::Turn(std::atomic<bool>& busy, const char* name) : m_busy(busy)
{
    if (m_busy.exchange(true, std::memory_order_acquire))
        throw FfMpegFacadeException(name, "called while another thread is in a call on the same facade");
}

OneCallAtATime::Turn::~Turn()
{
    m_busy.store(false, std::memory_order_release);
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
