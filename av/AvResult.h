#pragma once

#include <mpegexporter/MpegExporterException.h>

#include <cerrno>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Code the library passes when an FFmpeg allocation or lookup yields nothing.
// Positive on purpose: the exception then reports -12.
inline constexpr int kAllocationFailed = 12;

// Throws AvException(callName, status) for a negative status; callName is "::"
// followed by the FFmpeg function's name. A plain C string: the per-packet
// calls must not build a string that only a failure needs.
inline void CheckAvResult(int status, const char* callName)
{
    if (status < 0)
        throw AvException(callName, status);
}

// The same for a system call that reported failure through errno.
inline void CheckErrno(bool ok, const char* callName)
{
    if (!ok)
        throw AvException(callName, AVERROR(errno));
}

// Looks a codec up with the finder the caller chose (avcodec_find_decoder or
// avcodec_find_encoder); throws "Codec id '<id>' not found." when there is none.
const AVCodec* FindCodec(const AVCodec* (*finder)(enum AVCodecID), int codecId);

} // namespace Halvaro::Oru::Shared::Export::Mpeg
