#include "Paths.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace mpegexport
{
namespace fs = std::filesystem;

Container ContainerOf(const std::string& path)
{
    std::string extension = fs::path(path).extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".mp4")
        return Container::Mp4;
    if (extension == ".mov")
        return Container::Mov;
    throw std::runtime_error("'" + path + "': the output name must end in .mp4 or .mov");
}

std::string PartName(const std::string& path, int index)
{
    if (index == 0)
        return path;
    const fs::path p(path);
    char counter[16];
    std::snprintf(counter, sizeof counter, "-%03d", index);
    fs::path name = p.parent_path() / (p.stem().string() + counter + p.extension().string());
    return name.string();
}

std::string DefaultOutputName(const std::string& input)
{
    return fs::path(input).stem().string() + ".mp4";
}

std::wstring ToUtf16(const std::string& utf8)
{
    std::wstring out;
    std::size_t i = 0;
    while (i < utf8.size())
    {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > utf8.size())
            throw std::runtime_error("the file name '" + utf8 + "' is not UTF-8");
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k)
        {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80)
                throw std::runtime_error("the file name '" + utf8 + "' is not UTF-8");
            code = (code << 6) | (next & 0x3F);
        }
        i += length;
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            throw std::runtime_error("the file name '" + utf8 + "' is not UTF-8");
        if (code >= 0x10000)
        {
            code -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
        }
        else
            out.push_back(static_cast<wchar_t>(code));
    }
    return out;
}

} // namespace mpegexport
