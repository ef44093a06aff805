#include "av/AvResult.h"

#include <sstream>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

const AVCodec* FindCodec(const AVCodec* (*finder)(enum AVCodecID), int codecId)
{
    if (const AVCodec* codec = finder(static_cast<AVCodecID>(codecId)))
        return codec;
    std::ostringstream message;
    message << "Codec id '" << codecId << "' not found.";
    throw AvException(message.str(), AVERROR_EXIT);
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
