#pragma once

// The one place that knows how each FFmpeg handle is released. Every handle
// the library holds is one of these unique_ptr aliases; nothing else frees
// FFmpeg objects by hand.

#include <memory>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Releases a handle through `Free`, which takes either the handle's address
// (and nulls it) or the handle itself.
template <auto Free>
struct AvDeleter
{
    template <typename T>
    void operator()(T* handle) const noexcept
    {
        if constexpr (std::is_invocable_v<decltype(Free), T**>)
            Free(&handle);
        else
            Free(handle);
    }
};

using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvDeleter<avcodec_free_context>>;
using AvCodecParametersPtr = std::unique_ptr<AVCodecParameters, AvDeleter<avcodec_parameters_free>>;
using AvFramePtr = std::unique_ptr<AVFrame, AvDeleter<av_frame_free>>;
using AvBsfContextPtr = std::unique_ptr<AVBSFContext, AvDeleter<av_bsf_free>>;
using SwrContextPtr = std::unique_ptr<SwrContext, AvDeleter<swr_free>>;
using AvAudioFifoPtr = std::unique_ptr<AVAudioFifo, AvDeleter<av_audio_fifo_free>>;
using AvCodecParserContextPtr = std::unique_ptr<AVCodecParserContext, AvDeleter<av_parser_close>>;
using SwsContextPtr = std::unique_ptr<SwsContext, AvDeleter<sws_freeContext>>;

// Allocations that report failure by a null result; each throws AvException
// with the allocating call's name and code 12.
AvCodecContextPtr AllocateCodecContext(const AVCodec* codec);
AvCodecParametersPtr AllocateCodecParameters();
AvFramePtr AllocateFrame();

} // namespace Halvaro::Oru::Shared::Export::Mpeg
