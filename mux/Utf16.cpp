#include "mux/Utf16.h"

#include <cstdint>
#include <stdexcept>

namespace Halvaro::Oru::Shared::Export::Mpeg
{
namespace
{
[[noreturn]] void BadConversion() { throw std::range_error("bad conversion"); }

void Append(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80)
        out += static_cast<char>(cp);
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsHigh(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
} // namespace

std::string Utf16ToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        // wchar_t may be signed; the unit is its bit pattern.
        const auto unit = static_cast<std::uint32_t>(text[i]);
        if (unit > 0x10FFFF)
            BadConversion();
        if (IsHigh(unit))
        {
            if (i + 1 == text.size())
                BadConversion();
            const auto next = static_cast<std::uint32_t>(text[i + 1]);
            if (!IsLow(next))
                BadConversion();
            Append(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        }
        else if (IsLow(unit))
            BadConversion();
        else
            Append(out, unit);
    }
    return out;
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
