#include "veskar/core/frame.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace veskar {
namespace {

uint32_t naive_count(const std::vector<uint8_t>& runs) {
    uint32_t total = 0;
    for (uint8_t b : runs) {
        if (b & 0x80) total += b & 0x7F;
    }
    return total;
}

TEST(DetectorEventCount, CountsFiredRunsOnly) {
    EXPECT_EQ(count_fired_events(std::vector<uint8_t>{0x83, 0x02, 0x81}), 4u);
    EXPECT_EQ(count_fired_events(std::vector<uint8_t>{0x80, 0x00}), 0u);
    EXPECT_EQ(count_fired_events(std::vector<uint8_t>{0xFF, 0xFF}), 254u);
    EXPECT_EQ(count_fired_events(std::vector<uint8_t>{0xFF, 0x85}), 132u);
    EXPECT_EQ(count_fired_events({}), 0u);
}

TEST(DetectorEventCount, WideStepsAgreeWithBytewiseSumAtEveryLength) {
    std::mt19937 rng(7);
    for (size_t length = 0; length < 200; ++length) {
        std::vector<uint8_t> runs(length);
        for (auto& b : runs) b = static_cast<uint8_t>(rng());
        ASSERT_EQ(count_fired_events(runs), naive_count(runs)) << "length " << length;
    }
    std::vector<uint8_t> all_max(1000, 0xFF);
    EXPECT_EQ(count_fired_events(all_max), 127000u);
}

TEST(DetectorEventCount, WrapsAt32Bits) {
    // 33.8 million bytes of 0xFF sum to more than 2^32.
    std::vector<uint8_t> runs(33'900'000, 0xFF);
    uint64_t exact = 127ULL * runs.size();
    EXPECT_EQ(count_fired_events(runs), static_cast<uint32_t>(exact));
}

TEST(TimingOffsetsView, ReadsLittleEndianPairs) {
    std::vector<uint8_t> bytes{0x10, 0x27, 0x11, 0x27, 0xFF, 0xFF};
    TimingOffsets offsets{bytes};
    ASSERT_EQ(offsets.size(), 3u);
    EXPECT_EQ(offsets[0], 10000);
    EXPECT_EQ(offsets[1], 10001);
    EXPECT_EQ(offsets[2], 65535);
}

}  // namespace
}  // namespace veskar
