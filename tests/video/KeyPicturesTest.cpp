// H.263 picture headers written bit by bit: which ones start a picture that
// decodes on its own.

#include "video/KeyPictures.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace
{
namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;
using Bytes = std::vector<std::uint8_t>;

// The picture start code, a temporal reference of all ones, then `rest`
// ('0' and '1'; spaces for reading), padded with zeros to whole bytes and at least `size`.
Bytes Picture(const std::string& rest, std::size_t size = 8, const char* startCode = "0000000000000000100000")
{
    Bytes bytes(size);
    std::size_t bit = 0;
    for (const char c : std::string(startCode) + "11111111" + rest)
        if (c == '0' || c == '1')
        {
            if (bit / 8 >= bytes.size())
                bytes.push_back(0);
            bytes[bit / 8] |= std::uint8_t((c - '0') << (7 - bit % 8));
            ++bit;
        }
    return bytes;
}

// PLUSPTYPE with UFEP 001: the OPPTYPE of a custom-size picture with every option on, then MPPTYPE's `type`.
std::string UfepOne(const char* type)
{
    return std::string("10 000 111 001 110 11111111111 1000 ") + type + " 100 001";
}
std::string UfepZero(const char* type) { return std::string("10 000 111 000 ") + type + " 100 001"; }
} // namespace

TEST(KeyPictures, H263IntraPicturesAreTheirCodingType)
{
    const std::tuple<const char*, Bytes, bool> cases[] = {
        // PTYPE: 1, 0, three flags, the source format, the coding type.
        {"QCIF, I", Picture("10 000 010 0"), true},
        {"QCIF, P", Picture("10 000 010 1"), false},
        {"CIF, I, every flag set", Picture("10 111 011 0 1111"), true},
        {"4CIF, P, every flag set", Picture("10 111 100 1 1111"), false},
        {"PLUSPTYPE, UFEP 1, I", Picture(UfepOne("000")), true},
        {"PLUSPTYPE, UFEP 1, P", Picture(UfepOne("001")), false},
        {"PLUSPTYPE, UFEP 0, I", Picture(UfepZero("000")), true},
        {"PLUSPTYPE, UFEP 0, P", Picture(UfepZero("001")), false},
        {"PLUSPTYPE, UFEP 0, B", Picture(UfepZero("011")), false},
        {"PLUSPTYPE, a forbidden UFEP", Picture("10 000 111 010 000 100 001"), false},
        {"PTYPE without its leading 1", Picture("00 000 010 0"), false},
        {"PTYPE without its 0", Picture("11 000 010 0"), false},
        {"no start code", Picture("10 000 010 0", 8, "0000000000000000100001"), false},
        {"start code a bit late", Picture("10 000 010 0", 8, "00000000000000000100000"), false},
    };
    for (const auto& [what, header, intra] : cases)
        EXPECT_EQ(Mpeg::IsH263IntraPicture(header.data(), header.size()), intra) << what;

    // Shorter than the longest header read: refused whatever it holds.
    const Bytes intra = Picture("10 000 010 0");
    EXPECT_FALSE(Mpeg::IsH263IntraPicture(intra.data(), 7));
    EXPECT_FALSE(Mpeg::IsH263IntraPicture(nullptr, 0));
}
