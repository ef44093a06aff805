#include "facade/FfMpegFacadeBase.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

std::shared_ptr<IFfMpegFacade> IFfMpegFacade::Create(bool withAudio)
{
    if (withAudio)
        throw FfMpegFacadeException("IFfMpegFacade::Create", "audio export is not available yet");
    return std::make_shared<FfMpegFacadeBase>();
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
