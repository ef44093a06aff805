#include "av/AvHandles.h"

#include "av/AvResult.h"

namespace Halvaro::Oru::Shared::Export::Mpeg
{

AvCodecContextPtr AllocateCodecContext(const AVCodec* codec)
{
    AvCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context)
        throw AvException("::avcodec_alloc_context3", kAllocationFailed);
    return context;
}

AvCodecParametersPtr AllocateCodecParameters()
{
    AvCodecParametersPtr parameters(avcodec_parameters_alloc());
    if (!parameters)
        throw AvException("::avcodec_parameters_alloc", kAllocationFailed);
    return parameters;
}

AvFramePtr AllocateFrame()
{
    AvFramePtr frame(av_frame_alloc());
    if (!frame)
        throw AvException("::av_frame_alloc", kAllocationFailed);
    return frame;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
