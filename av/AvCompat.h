#pragma once

// What differs between FFmpeg versions lives here, behind version checks.

#include "av/AvResult.h"

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/version.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// A fresh packet as av_init_packet used to leave it (that call is deprecated):
// no timestamps, unknown position, everything else zero.
inline void InitPacket(AVPacket& packet) noexcept
{
    packet = AVPacket{};
    packet.pts = AV_NOPTS_VALUE;
    packet.dts = AV_NOPTS_VALUE;
    packet.pos = -1;
}

// The declared layout of an audio stream: the mono mask when the declared
// channel count is 0 or 1, otherwise that count in unspecified order (a mono
// mask cannot describe it).
inline void SetDeclaredLayout(AVChannelLayout& layout, std::uint64_t mask, int channels) noexcept
{
    av_channel_layout_uninit(&layout);
    if (channels <= 1)
        av_channel_layout_from_mask(&layout, mask);
    else
    {
        layout.order = AV_CHANNEL_ORDER_UNSPEC;
        layout.nb_channels = channels;
    }
}

// A declared count above one has no channel order, which encoders refuse and
// files cannot declare: it gets the usual order for that count (stereo for two).
inline void UseUsualOrder(AVChannelLayout& layout) noexcept
{
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC && layout.nb_channels > 0)
        av_channel_layout_default(&layout, layout.nb_channels);
}

// Whether a decoded picture is a key picture: a frame flag since FFmpeg 6.1
// (libavutil 58.7), before that a field of its own.
inline bool IsKeyFrame(const AVFrame& frame) noexcept
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
    return (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame.key_frame != 0;
#endif
}

// Encoder capability lists, each ending in its terminator (AV_SAMPLE_FMT_NONE,
// 0, AV_PIX_FMT_NONE), or null when the encoder takes any value. libavcodec
// 61.13 (FFmpeg 7.1) deprecates the AVCodec fields in favour of
// avcodec_get_supported_config, and FFmpeg 9.0 removes them.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
template <typename T>
const T* SupportedConfig(const AVCodec* codec, AVCodecConfig config)
{
    const void* list = nullptr;
    CheckAvResult(avcodec_get_supported_config(nullptr, codec, config, 0, &list, nullptr),
                  "::avcodec_get_supported_config");
    return static_cast<const T*>(list);
}
inline const AVSampleFormat* SupportedSampleFormats(const AVCodec* codec)
{
    return SupportedConfig<AVSampleFormat>(codec, AV_CODEC_CONFIG_SAMPLE_FORMAT);
}
inline const int* SupportedSampleRates(const AVCodec* codec)
{
    return SupportedConfig<int>(codec, AV_CODEC_CONFIG_SAMPLE_RATE);
}
inline const AVPixelFormat* SupportedPixelFormats(const AVCodec* codec)
{
    return SupportedConfig<AVPixelFormat>(codec, AV_CODEC_CONFIG_PIX_FORMAT);
}
#else
inline const AVSampleFormat* SupportedSampleFormats(const AVCodec* codec) { return codec->sample_fmts; }
inline const int* SupportedSampleRates(const AVCodec* codec) { return codec->supported_samplerates; }
inline const AVPixelFormat* SupportedPixelFormats(const AVCodec* codec) { return codec->pix_fmts; }
#endif

} // namespace Halvaro::Oru::Shared::Export::Mpeg
