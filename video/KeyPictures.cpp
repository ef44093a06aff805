#include "video/KeyPictures.h"

#include "av/AvResult.h"

#include <mpegexporter/Journal.h>

#include <algorithm>
#include <cstdint>

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
    // The parsers' own test of the extradata for length-prefixed units.
    const std::uint8_t* extra = input.extradata;
    if (m_codecId == AV_CODEC_ID_H264 && input.extradata_size >= 7 && extra[0] == 1)
        m_lengthSize = (extra[4] & 3) + 1;
    if (m_codecId == AV_CODEC_ID_HEVC && input.extradata_size >= 23 && (extra[0] || extra[1] || extra[2] > 1))
        m_lengthSize = (extra[21] & 3) + 1;
}

std::pair<const std::uint8_t*, int> KeyPictures::ParserInput(const AVPacket& packet)
{
    const std::uint8_t* data = packet.data;
    const auto size = static_cast<std::size_t>(packet.size);
    // Parsers read up to the padding past what they are given, which a
    // copied picture (the host's own bytes) does not have: a span that ends
    // too near the picture's end is copied, padded.
    const auto copied = [&](std::size_t length) {
        m_scratch.assign(data, data + length);
        m_scratch.resize(length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        return std::pair<const std::uint8_t*, int>{m_scratch.data(), static_cast<int>(length)};
    };
    const auto padded = [&](std::size_t length) {
        if (length + AV_INPUT_BUFFER_PADDING_SIZE > size)
            return copied(length);
        return std::pair<const std::uint8_t*, int>{data, static_cast<int>(length)};
    };
    // The parsers read no further into a slice than its header (H.264: up
    // to the reference marking, within 1000 bytes).
    constexpr std::size_t kSliceBytes = 1024;
    const bool h264 = m_codecId == AV_CODEC_ID_H264;
    if (!h264 && m_codecId != AV_CODEC_ID_HEVC)
        return padded(size);
    const auto isSlice = [h264](std::uint8_t header) {
        return h264 ? (header & 0x1F) >= 1 && (header & 0x1F) <= 5 : (header >> 1 & 0x3F) < 32;
    };
    if (m_lengthSize == 0)
    {
        const std::uint8_t* end = data + size;
        for (const std::uint8_t* code = Journal::FindStartCode(data, end); code < end;)
        {
            const std::uint8_t* unit = code + (code[2] == 1 ? 3 : 4);
            if (unit < end && isSlice(*unit))
                return padded(std::min(size, static_cast<std::size_t>(unit - data) + kSliceBytes));
            code = Journal::FindStartCode(std::min(unit, end), end);
        }
        return padded(size);
    }
    const auto lengthSize = static_cast<std::size_t>(m_lengthSize);
    for (std::size_t at = 0; at + lengthSize < size;)
    {
        std::size_t length = 0;
        for (std::size_t i = 0; i < lengthSize; ++i)
            length = length << 8 | data[at + i];
        const std::size_t unit = at + lengthSize;
        if (length == 0 || length > size - unit)
            return padded(size); // not as the parser expects: it decides
        if (!isSlice(data[unit]))
        {
            at = unit + length;
            continue;
        }
        const std::size_t cut = std::min({length, kSliceBytes, (std::size_t{1} << (8 * lengthSize)) - 1});
        if (cut == length)
            return padded(unit + length);
        // The slice unit cut short says so in its size field.
        const auto input = copied(unit + cut);
        for (std::size_t i = 0; i < lengthSize; ++i)
            m_scratch[at + i] = static_cast<std::uint8_t>(cut >> (8 * (lengthSize - 1 - i)));
        return input;
    }
    return padded(size);
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
    const auto [input, inputSize] = ParserInput(packet);
    av_parser_parse2(m_parser.get(), m_context.get(), &out, &outSize, input, inputSize, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    // As libavformat decides it: parsers that know report key_frame, the
    // others only the picture type.
    return m_parser->key_frame == 1 || (m_parser->key_frame == -1 && m_parser->pict_type == AV_PICTURE_TYPE_I);
}

} // namespace Halvaro::Oru::Shared::Export::Mpeg
