// Frames at the bound: a body of exactly 4 MiB passes both ways, one byte
// more is refused on encoding and, announced by a peer, on reading.
#include "wire/Frames.h"

#include <gtest/gtest.h>

using namespace halvora::adapter;

TEST(AFrame, CarriesABodyOfExactlyTheBoundAndNotOneByteMore)
{
    const auto bodyOf = [](std::size_t payload) {
        return wire::encode(wire::event(7, std::vector<std::uint8_t>(payload, 'x'))).size() - 4;
    };
    const std::size_t payload = wire::maxFrameBytes - 64 + (wire::maxFrameBytes - bodyOf(wire::maxFrameBytes - 64));
    const std::vector<std::uint8_t> frame = wire::encode(wire::event(7, std::vector<std::uint8_t>(payload, 'x')));
    ASSERT_EQ(frame.size() - 4, wire::maxFrameBytes);
    wire::FrameReader reader;
    reader.append(frame.data(), frame.size());
    wire::Message message;
    ASSERT_TRUE(reader.next(message));
    EXPECT_EQ(message.kind, wire::Kind::Event);
    EXPECT_EQ(message.id, 7u);
    EXPECT_EQ(message.bytes.size(), payload);
    EXPECT_THROW(wire::encode(wire::event(7, std::vector<std::uint8_t>(payload + 1, 'x'))), wire::FrameError);

    const std::uint8_t overBound[] = {0x00, 0x40, 0x00, 0x01, 0x93};
    wire::FrameReader refusing;
    refusing.append(overBound, sizeof overBound);
    EXPECT_THROW(refusing.next(message), wire::FrameError);
}
