#include "veskar/deserialize/ring_buffer.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace veskar {
namespace {

std::vector<uint8_t> iota_bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(RingBuffer, WritesWhatFitsAndKeepsPositionsGrowing) {
    RingBuffer ring(8);
    EXPECT_EQ(ring.write(iota_bytes(5, 0)), 5u);
    EXPECT_EQ(ring.write(iota_bytes(5, 5)), 3u);
    EXPECT_EQ(ring.write(iota_bytes(1, 0)), 0u);
    EXPECT_EQ(ring.write({}), 0u);
    EXPECT_EQ(ring.unread(), 8u);
    ring.consume(6);
    EXPECT_EQ(ring.read_pos(), 6u);
    EXPECT_EQ(ring.write(iota_bytes(4, 8)), 4u);
    EXPECT_EQ(ring.write_pos(), 12u);
}

TEST(RingBuffer, PeekRefusesStraddlingBytesAndPeekWrappedAssemblesThem) {
    // Every start offset and length: peek_wrapped always shows the bytes in
    // order; peek shows them only when contiguous.
    for (size_t start = 0; start < 8; ++start) {
        for (size_t n = 0; n <= 8; ++n) {
            RingBuffer ring(8);
            ring.write(iota_bytes(start, 0));
            ring.consume(start);
            ring.write(iota_bytes(8, 100));
            std::vector<uint8_t> scratch;
            auto wrapped = ring.peek_wrapped(n, scratch);
            ASSERT_TRUE(wrapped);
            EXPECT_EQ(std::vector<uint8_t>(wrapped->begin(), wrapped->end()), iota_bytes(n, 100));
            bool straddles = start + n > 8;
            EXPECT_EQ(ring.peek(n).has_value(), !straddles);
            EXPECT_EQ(!scratch.empty(), straddles);
            std::vector<uint8_t> out(n);
            ring.copy_out(0, out);
            EXPECT_EQ(out, iota_bytes(n, 100));
        }
    }
    RingBuffer ring(8);
    ring.write(iota_bytes(3, 0));
    std::vector<uint8_t> scratch;
    EXPECT_FALSE(ring.peek(4));
    EXPECT_FALSE(ring.peek_wrapped(4, scratch));
}

TEST(RingBuffer, WriteWindowIsContiguousFreeSpace) {
    RingBuffer ring(10);
    ring.write(iota_bytes(7, 0));
    ring.consume(5);
    EXPECT_EQ(ring.write_window(100).size(), 3u);  // up to the storage's end
    ring.commit_write(3);
    EXPECT_EQ(ring.write_window(100).size(), 5u);  // from the start, up to read_pos
    EXPECT_EQ(ring.write_window(2).size(), 2u);
}

}  // namespace
}  // namespace veskar
