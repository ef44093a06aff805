#pragma once

// The one place that knows how each FFmpeg handle is released. Every handle
// the library holds is one of these unique_ptr aliases; nothing else frees
// FFmpeg objects by hand.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Release through a function that takes T** (and nulls it).
template <typename T, void (*Free)(T**)>
struct AvFreeByAddress
{
    void operator()(T* handle) const noexcept { Free(&handle); }
};

// Release through a function that takes T*.
template <typename T, void (*Free)(T*)>
struct AvFreeByValue
{
    void operator()(T* handle) const noexcept { Free(handle); }
};

using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvFreeByAddress<AVCodecContext, avcodec_free_context>>;
using AvCodecParametersPtr =
    std::unique_ptr<AVCodecParameters, AvFreeByAddress<AVCodecParameters, avcodec_parameters_free>>;
using AvFramePtr = std::unique_ptr<AVFrame, AvFreeByAddress<AVFrame, av_frame_free>>;
using AvBsfContextPtr = std::unique_ptr<AVBSFContext, AvFreeByAddress<AVBSFContext, av_bsf_free>>;
using SwrContextPtr = std::unique_ptr<SwrContext, AvFreeByAddress<SwrContext, swr_free>>;
using AvAudioFifoPtr = std::unique_ptr<AVAudioFifo, AvFreeByValue<AVAudioFifo, av_audio_fifo_free>>;
using AvCodecParserContextPtr =
    std::unique_ptr<AVCodecParserContext, AvFreeByValue<AVCodecParserContext, av_parser_close>>;

// Allocations that report failure by a null result; each throws AvException
// with the allocating call's name and code 12.
AvCodecContextPtr AllocateCodecContext(const AVCodec* codec);
AvCodecParametersPtr AllocateCodecParameters();
AvFramePtr AllocateFrame();

} // namespace Halvaro::Oru::Shared::Export::Mpeg
