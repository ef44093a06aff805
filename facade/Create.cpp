#include "facade/FfMpegFacadeSynchronized.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

std::shared_ptr<IFfMpegFacade> IFfMpegFacade::Create(bool withAudio)
{
    if (withAudio)
        return std::make_shared<FfMpegFacadeSynchronized>();
    return std::make_shared<FfMpegFacadeBase>();
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
