#include <mpegexporter/MpegExporterException.h>

extern "C" {
#include <libavutil/error.h>
}

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
std::string Describe(const std::string& message, int errorCode)
{
    char text[255] = {};
    av_strerror(errorCode, text, sizeof text);
    return message + ": " + text;
}
} // namespace

AvException::AvException(const char* message, int errorCode)
    : AvException(std::string(message), errorCode)
{
}

AvException::AvException(const std::string& message, int errorCode)
    // Negated in 64 bits: INT_MIN has no positive counterpart in 32.
    : FfMpegFacadeException(Describe(message, errorCode).c_str()),
      m_errorCode(static_cast<std::int32_t>(-static_cast<std::int64_t>(errorCode)))
{
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
