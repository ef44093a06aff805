#include "transcoding/BitstreamFilter.h"

#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>

using TestMedia::Bytes;

namespace
{
Bytes Concat(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes With(Bytes bytes, std::size_t index, int value)
{
    bytes.at(index) = static_cast<std::uint8_t>(value);
    return bytes;
}
} // namespace

// Real AAC frames behind headers with and without a checksum, each followed
// by something a host might send that does not parse: every frame comes out
// as it was encoded and timed as it went in, the rest is dropped quietly.
TEST(BitstreamFilter, StripsAdtsHeadersAndDropsWhatDoesNotParse)
{
    const auto aac = TestMedia::EncodeTone("aac", 8000, 1, 440);
    const Bytes good = Concat(TestMedia::AdtsHeader(8000, 3), {1, 2, 3});
    const std::pair<const char*, Bytes> bad[] = {
        {"empty", {}},
        {"shorter than a header", Bytes(good.begin(), good.begin() + 5)},
        {"header without a frame", TestMedia::AdtsHeader(8000, 0)},
        {"no sync word", With(good, 0, 0x7F)},
        {"sampling frequency index 15", With(good, 2, good[2] | 0x3C)},
        {"frame length below the header's", With(With(good, 4, 0x00), 5, 0x1F)},
        {"frame without header", aac.packets[0]},
    };
    ASSERT_GE(aac.packets.size(), std::size(bad));

    auto parameters = Mpeg::AllocateCodecParameters();
    parameters->codec_type = AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = AV_CODEC_ID_AAC;
    Mpeg::BitstreamFilter filter("aac_adtstoasc", *parameters);
    auto send = [&](const Bytes& bytes, std::int64_t pts) {
        auto packet = Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
        packet->packet.pts = pts;
        packet->packet.dts = pts - 3;
        packet->packet.stream_index = 5;
        return filter.Filter(std::move(packet));
    };
    for (std::size_t i = 0; i < std::size(bad); ++i)
    {
        const Bytes& frame = aac.packets[i];
        const bool crc = i % 2 == 1;
        SCOPED_TRACE(std::string(crc ? "CRC" : "no CRC") + ", then " + bad[i].first);
        const auto pts = static_cast<std::int64_t>(1000 + 1024 * i);
        const auto out = send(Concat(TestMedia::AdtsHeader(8000, frame.size(), crc), frame), pts);
        ASSERT_EQ(out.size(), 1u);
        const AVPacket& packet = out[0]->packet;
        EXPECT_EQ(Bytes(packet.data, packet.data + packet.size), frame);
        EXPECT_EQ(std::tuple(packet.pts, packet.dts, packet.stream_index), std::tuple(pts, pts - 3, 5));
        EXPECT_TRUE(send(bad[i].second, pts + 1).empty());
    }
}

TEST(BitstreamFilter, UnknownFilterIsRefused)
{
    auto parameters = Mpeg::AllocateCodecParameters();
    EXPECT_EQ(TestMedia::Thrown([&] { Mpeg::BitstreamFilter("no_such_filter", *parameters); }).rfind("AvException", 0),
              0u);
}
