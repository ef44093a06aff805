#include "container/Utf16.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <cstdint>
#include <string>

namespace
{
std::wstring Units(std::initializer_list<std::uint32_t> units)
{
    std::wstring text;
    for (const auto unit : units)
        text += static_cast<wchar_t>(unit);
    return text;
}
} // namespace

TEST(Utf16ToUtf8, EncodesPairsAndWholeCodePoints)
{
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", ""},
        {L"/tmp/a b.mp4", "/tmp/a b.mp4"},
        // Surrogate pairs, as a UTF-16 host sends them, between other characters.
        {Units({0xE9, 0xD83D, 0xDE00, 0x20AC, 0xD800, 0xDC00, 0xDBFF, 0xDFFF}),
         "\xC3\xA9\xF0\x9F\x98\x80\xE2\x82\xAC\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        // Whole code points, as L"..." literals hold them where wchar_t is 32 bits.
        {Units({'x', 0x1F600, 0x10FFFF}), "x\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(Mpeg::Utf16ToUtf8(input), expected) << expected;
}

TEST(Utf16ToUtf8, RejectsWhatIsNotUtf16)
{
    const std::pair<const char*, std::wstring> cases[] = {
        {"high surrogate before an ordinary character", Units({0xD83D, 'a'})},
        {"two high surrogates", Units({'a', 0xD83D, 0xD83D, 0xDE00})},
        {"beyond U+10FFFF", Units({0x110000})},
        {"negative wchar_t", std::wstring(1, static_cast<wchar_t>(-1))},
        {"lone low surrogate", Units({'a', 0xDE00})},
        {"trailing high surrogate", Units({'a', 0xD83D})},
    };
    for (const auto& [what, input] : cases)
        EXPECT_EQ(TestMedia::Thrown([&, &input = input] { Mpeg::Utf16ToUtf8(input); }), "range_error: bad conversion")
            << what;
}

TEST(Utf16ToUtf8, EveryCodePointMatchesGlibcInBothForms)
{
    iconv_t reference = iconv_open("UTF-8", "UTF-32LE");
    ASSERT_NE(reference, reinterpret_cast<iconv_t>(-1));
    int failures = 0;
    for (std::uint32_t cp = 1; cp <= 0x10FFFF && failures < 5; ++cp)
    {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        char in[4] = {static_cast<char>(cp), static_cast<char>(cp >> 8), static_cast<char>(cp >> 16), 0};
        char out[8];
        char *inPtr = in, *outPtr = out;
        std::size_t inLeft = sizeof in, outLeft = sizeof out;
        ASSERT_NE(iconv(reference, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<std::size_t>(-1));
        const std::string expected(out, static_cast<std::size_t>(outPtr - out));
        const std::uint32_t v = cp - 0x10000;
        const std::wstring pair = cp > 0xFFFF ? Units({0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF)}) : Units({cp});
        if (Mpeg::Utf16ToUtf8(Units({cp})) != expected || Mpeg::Utf16ToUtf8(pair) != expected)
        {
            ++failures;
            ADD_FAILURE() << "code point " << std::hex << cp;
        }
    }
    iconv_close(reference);
}
