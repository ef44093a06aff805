#pragma once

// Exceptions thrown by the library. Every failure reaches the host as one of
// these (or as a standard exception for bad enumeration values and file
// names). The classes keep default visibility so that a host can catch them by
// type across the shared-library boundary; everything a host needs of them is
// defined inline here.

#include <cstdint>
#include <stdexcept>
#include <string>

#define MPEGEXPORTER_VISIBLE __attribute__((visibility("default")))

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Common base of every library error.
class MPEGEXPORTER_VISIBLE MpegExporterException : public std::runtime_error
{
public:
    explicit MpegExporterException(const std::string& message)
        : std::runtime_error(message)
    {
    }
};

// Misuse of a facade (operations out of order, audio calls on a video-only
// export). what() is "FfMpegFacade: " + message, or
// "FfMpegFacade: " + location + ": " + problem.
class MPEGEXPORTER_VISIBLE FfMpegFacadeException : public MpegExporterException
{
public:
    explicit FfMpegFacadeException(const char* message)
        : MpegExporterException(std::string("FfMpegFacade: ") + message)
    {
    }

    FfMpegFacadeException(const char* location, const char* problem)
        : MpegExporterException(std::string("FfMpegFacade: ") + location + ": " + problem)
    {
    }
};

// A failed FFmpeg call. what() is "FfMpegFacade: " + message + ": " + FFmpeg's
// description of the code. GetErrorCode() is the negated FFmpeg code: the
// POSIX errno for AVERROR(e), the positive tag for FFmpeg's tag codes, and -12
// where the library reports an allocation that yielded nothing.
class MPEGEXPORTER_VISIBLE AvException : public FfMpegFacadeException
{
public:
    AvException(const char* message, int errorCode);
    AvException(const std::string& message, int errorCode);

    std::int32_t GetErrorCode() const noexcept { return m_errorCode; }

private:
    std::int32_t m_errorCode;
};

} // namespace Halvaro::Oru::Shared::Export::Mpeg
