#include "container/OwnedPacket.h"
#include "errors/AvResult.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace Mpeg = Halvaro::Oru::Shared::Export::Mpeg;

TEST(OwnedPacket, FreshPacketHasNoTimestampsAndUnknownPosition)
{
    const AVPacket& packet = Mpeg::OwnedPacket().packet;
    EXPECT_EQ(packet.pts, AV_NOPTS_VALUE);
    EXPECT_EQ(packet.dts, AV_NOPTS_VALUE);
    EXPECT_EQ(packet.pos, -1);
    EXPECT_TRUE(!packet.data && !packet.size && !packet.buf && !packet.side_data && !packet.duration &&
                !packet.flags && !packet.stream_index);
}

TEST(OwnedPacket, CopyOfOwnsAPaddedCopyOfTheBytes)
{
    for (const std::size_t size : {0, 1, 4099})
    {
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
        auto owned = Mpeg::OwnedPacket::CopyOf(bytes.data(), bytes.size());
        const AVPacket& packet = owned->packet;
        ASSERT_EQ(packet.size, static_cast<int>(size));
        ASSERT_NE(packet.buf, nullptr) << "the payload is reference-counted";
        EXPECT_NE(packet.data, bytes.data());
        EXPECT_EQ(std::vector<std::uint8_t>(packet.data, packet.data + size), bytes);
        // Decoders may read this far past the end.
        EXPECT_EQ(std::vector<std::uint8_t>(packet.data + size, packet.data + size + AV_INPUT_BUFFER_PADDING_SIZE),
                  std::vector<std::uint8_t>(AV_INPUT_BUFFER_PADDING_SIZE, 0));
        EXPECT_EQ(packet.pts, AV_NOPTS_VALUE);
    }
    // Sizes beyond an int are refused before anything is read.
    const std::uint8_t byte = 0;
    try
    {
        Mpeg::OwnedPacket::CopyOf(&byte, static_cast<std::size_t>(INT_MAX));
        FAIL() << "no exception";
    }
    catch (const Mpeg::AvException& error)
    {
        EXPECT_EQ(error.GetErrorCode(), EINVAL);
        EXPECT_EQ(std::string(error.what()).rfind("FfMpegFacade: ::av_new_packet: ", 0), 0u) << error.what();
    }
}
