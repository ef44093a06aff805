#include "facade/FfMpegFacadeSynchronized.h"
#include "facade/OneCallAtATime.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

std::shared_ptr<IFfMpegFacade> IFfMpegFacade::Create(bool withAudio)
{
    std::shared_ptr<IFfMpegFacade> facade;
    if (withAudio)
        facade = std::make_shared<FfMpegFacadeSynchronized>();
    else
        facade = std::make_shared<FfMpegFacadeVideo>();
    return std::make_shared<OneCallAtATime>(std::move(facade));
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
