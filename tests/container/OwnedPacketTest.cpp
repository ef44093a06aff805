#include "container/OwnedPacket.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

#include <climits>

TEST(OwnedPacket, OwnsAPaddedCopyOfTheBytesWithTimestampsUnset)
{
    const AVPacket& fresh = Mpeg::OwnedPacket().packet;
    EXPECT_TRUE(fresh.pts == AV_NOPTS_VALUE && fresh.dts == AV_NOPTS_VALUE && fresh.pos == -1);
    EXPECT_TRUE(!fresh.data && !fresh.size && !fresh.buf && !fresh.side_data && !fresh.duration && !fresh.flags &&
                !fresh.stream_index);

    for (const std::size_t size : {0, 1, 4099})
    {
        TestMedia::Bytes bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
        const auto owned = Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
        const AVPacket& packet = owned->packet;
        ASSERT_EQ(packet.size, static_cast<int>(size));
        ASSERT_NE(packet.buf, nullptr) << "the payload is reference-counted";
        EXPECT_EQ(TestMedia::Bytes(packet.data, packet.data + size), bytes);
        // Decoders may read this far past the end.
        EXPECT_EQ(TestMedia::Bytes(packet.data + size, packet.data + size + AV_INPUT_BUFFER_PADDING_SIZE),
                  TestMedia::Bytes(AV_INPUT_BUFFER_PADDING_SIZE, 0));
        EXPECT_EQ(packet.pts, AV_NOPTS_VALUE);
    }
    // Sizes beyond an int are refused before anything is read.
    const std::uint8_t byte = 0;
    EXPECT_EQ(TestMedia::Thrown([&] { Mpeg::OwnedPacket::CopyOf(&byte, static_cast<std::size_t>(INT_MAX)); }),
              "AvException 22: FfMpegFacade: ::av_new_packet: " + TestMedia::StrError(AVERROR(EINVAL)));
}
