#pragma once

// What differs between FFmpeg versions lives here, behind version checks.

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

// Encoder capability lists. Read through these so that the move to
// avcodec_get_supported_config (FFmpeg 7.1) stays one change.
inline const AVSampleFormat* SupportedSampleFormats(const AVCodec* codec) noexcept { return codec->sample_fmts; }
inline const int* SupportedSampleRates(const AVCodec* codec) noexcept { return codec->supported_samplerates; }
inline const AVPixelFormat* SupportedPixelFormats(const AVCodec* codec) noexcept { return codec->pix_fmts; }

} // namespace Halvaro::Oru::Shared::Export::Mpeg
