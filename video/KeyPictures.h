#pragma once

#include "av/AvHandles.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

// Tells from a picture's own bytes whether decoding can start at it, so that
// the file lists only those as sync samples (the host's packets carry no such
// mark): H.264 IDR (and recovery points), H.265 IRAP, MPEG-4 part 2 I-VOP,
// H.263 I-picture, every MJPEG picture. Used by one thread at a time.
class KeyPictures
{
public:
    // `input` is the host's stream: codec and extradata (H.264/H.265
    // parameter sets, avcC/hvcC or Annex B, MPEG-4 VOL).
    explicit KeyPictures(const AVCodecParameters& input);

    // The packet needs no padding: the parser gets a padded copy where it would read past the end.
    bool IsKey(const AVPacket& packet);

private:
    // What the parser needs of an H.264/H.265 picture: the units before its
    // first slice and that slice's first 1 KB (the parsers allocate and clear
    // a buffer the size of what they are given, on every call); all of any
    // other picture. Followed by padding, copied into m_scratch if need be.
    std::pair<const std::uint8_t*, int> ParserInput(const AVPacket& packet);

    AVCodecID m_codecId;
    int m_lengthSize = 0; // of each unit's size field; 0: Annex B
    std::vector<std::uint8_t> m_scratch;
    bool m_intraOnly = false;
    AvCodecContextPtr m_context;
    AvCodecParserContextPtr m_parser;
};

// The picture coding type of an H.263 picture header (PTYPE, or PLUSPTYPE's
// MPPTYPE): true for an I-picture. libavcodec's H.263 parser only splits
// pictures and reports every one as I.
bool IsH263IntraPicture(const std::uint8_t* data, std::size_t size);

} // namespace Halvaro::Oru::Shared::Export::Mpeg
