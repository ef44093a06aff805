#include "streams/KeyPictures.h"

#include "errors/AvResult.h"

#include <algorithm>

namespace Halvaro::Oru::Shared::Export::Mpeg
{

bool IsH263IntraPicture(const std::uint8_t* data, std::size_t size)
{
    // Everything read below lies in the first 62 bits.
    if (!data || size < 8)
        return false;
    const auto bits = [data](unsigned first, unsigned count) {
        unsigned value = 0;
        for (unsigned i = first; i < first + count; ++i)
            value = (value << 1) | ((data[i / 8] >> (7 - i % 8)) & 1u);
        return value;
    };
    // Picture start code (22 bits), temporal reference (8), then PTYPE: a
    // one, a zero, three flags, the source format and, for the standard
    // formats, the coding type bit (0: intra).
    if (bits(0, 22) != 0x20 || bits(30, 2) != 2)
        return false;
    if (bits(35, 3) != 7)
        return bits(38, 1) == 0;
    // PLUSPTYPE: UFEP, the 18-bit OPPTYPE when UFEP is 1, then MPPTYPE's
    // picture type code (0: I).
    const unsigned ufep = bits(38, 3);
    if (ufep > 1)
        return false;
    return bits(ufep == 1 ? 59 : 41, 3) == 0;
}

KeyPictures::KeyPictures(const AVCodecParameters& input)
    : m_codecId(input.codec_id)
{
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(m_codecId);
    m_intraOnly = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY) != 0;
    if (m_intraOnly || m_codecId == AV_CODEC_ID_H263)
        return;
    m_parser.reset(av_parser_init(m_codecId));
    if (!m_parser)
        return;
    // Each host packet is one whole picture: the parser then looks at it on
    // the spot instead of holding it back until the next one arrives.
    m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    // The parser reads the parameter sets from the extradata; avcC/hvcC
    // there switches it to length-prefixed units, exactly when the muxer
    // stores packets unchanged, and Annex B packets (converted by the muxer)
    // come with Annex B or no extradata. So it always sees the form it takes.
    m_context = AllocateCodecContext(nullptr);
    CheckAvResult(avcodec_parameters_to_context(m_context.get(), &input), "::avcodec_parameters_to_context");
}

bool KeyPictures::IsKey(const AVPacket& packet)
{
    if (m_intraOnly)
        return true; // MJPEG: every picture stands alone
    if (m_codecId == AV_CODEC_ID_H263)
        return IsH263IntraPicture(packet.data, static_cast<std::size_t>(std::max(packet.size, 0)));
    if (!m_parser)
        return true; // nothing to tell by: every picture counts, as before
    if (packet.size <= 0)
        return false;
    // Cleared first, so that a picture whose header the parser cannot read
    // does not inherit its predecessor's type.
    m_parser->key_frame = -1;
    m_parser->pict_type = AV_PICTURE_TYPE_NONE;
    std::uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(m_parser.get(), m_context.get(), &out, &outSize, packet.data, packet.size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    // As libavformat decides it: parsers that know report key_frame, the
    // others only the picture type.
    return m_parser->key_frame == 1 || (m_parser->key_frame == -1 && m_parser->pict_type == AV_PICTURE_TYPE_I);
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
