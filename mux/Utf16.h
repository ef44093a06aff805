#pragma once

#include <string>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Converts a file name given as UTF-16 code units to UTF-8. A surrogate pair
// becomes one four-byte sequence. Where wchar_t is 32 bits, an element above
// 0xFFFF cannot be a UTF-16 unit: it is taken as the whole code point that a
// L"..." literal puts there (up to U+10FFFF). A high surrogate followed by
// anything but a low surrogate, a lone low surrogate, a trailing high surrogate
// and anything above U+10FFFF throw std::range_error("bad conversion").
std::string Utf16ToUtf8(const std::wstring& text);

} // namespace Halvaro::Oru::Shared::Export::Mpeg
