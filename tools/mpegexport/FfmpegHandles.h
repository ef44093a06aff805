#pragma once

// Owners for the FFmpeg objects the tool uses, and FFmpeg error text.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include <memory>
#include <string>

namespace mpegexport
{

// Each handle released by its FFmpeg free function, which takes T** and nulls it.
template <typename T, void (*Free)(T**)>
struct FreeByAddress
{
    void operator()(T* handle) const noexcept { Free(&handle); }
};

// A demuxing context opened with avformat_open_input.
using InputContextPtr = std::unique_ptr<AVFormatContext, FreeByAddress<AVFormatContext, avformat_close_input>>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, FreeByAddress<AVCodecContext, avcodec_free_context>>;
using PacketPtr = std::unique_ptr<AVPacket, FreeByAddress<AVPacket, av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, FreeByAddress<AVFrame, av_frame_free>>;

inline std::string AvErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace mpegexport
