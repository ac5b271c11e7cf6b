#include "veskar/core/frame.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "veskar/core/event_bits.hpp"
#include "veskar/deserialize/parser.hpp"

namespace veskar {
namespace {

TEST(DetectorEventCount, CountsFiredEventsUpToTheCut) {
    const std::vector<uint8_t> runs{0x83, 0x02, 0x81};  // 1 1 1 0 0 1
    EXPECT_EQ(count_fired_events(runs, 6), 4u);
    EXPECT_EQ(count_fired_events(runs, 100), 4u);
    EXPECT_EQ(count_fired_events(runs, 5), 3u);
    EXPECT_EQ(count_fired_events(runs, 2), 2u);
    EXPECT_EQ(count_fired_events(runs, 0), 0u);
    EXPECT_EQ(count_fired_events(std::vector<uint8_t>{0x80, 0x00}, 8), 0u);
    EXPECT_EQ(count_fired_events(std::vector<uint8_t>{0xFF, 0x85}, 4), 4u);
    EXPECT_EQ(count_fired_events({}, 8), 0u);
    std::vector<uint8_t> all_max(1000, 0xFF);
    EXPECT_EQ(count_fired_events(all_max, 200'000), 127'000u);
    EXPECT_EQ(count_fired_events(all_max, 65'535), 65'535u);
}

// The count must agree with the events the frame hands out, whatever the
// code: shorter or longer than ancilla_count, cut inside a wide step or not.
TEST(DetectorEventCount, AgreesWithTheExpandedEventsOfRandomCodes) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<uint8_t> runs(rng() % 120);
        const bool short_runs = trial % 2 == 0;  // also codes whose cut falls late
        for (auto& b : runs) b = static_cast<uint8_t>(short_runs ? (rng() & 0x83) : rng());
        const auto ancillas = static_cast<uint16_t>(rng() % 400);
        SyndromeFrame frame;
        frame.header.ancilla_count = ancillas;
        frame.detector_events = runs;
        const std::vector<uint8_t> events = decode_rle_events(runs, ancillas);
        const auto fired = static_cast<uint32_t>(std::count(events.begin(), events.end(), 1));
        ASSERT_EQ(frame.detector_event_count(), fired) << "trial " << trial;
    }
}

// Both row forms written from the bit set must show the events the byte
// expansion gives, whatever the code and the cut, across word boundaries.
TEST(EventBits, RowsAgreeWithTheExpandedEventsOfRandomCodes) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<uint8_t> runs(rng() % 60);
        for (auto& b : runs) b = static_cast<uint8_t>(trial % 2 ? rng() : (rng() & 0x8F));
        const size_t n = rng() % 300;
        const std::vector<uint8_t> events = decode_rle_events(runs, n);
        std::vector<uint64_t> words(event_words(n), ~uint64_t{0});  // stale bits must not survive
        runs_to_bits(runs, n, words);
        std::vector<uint8_t> bytes(n, 7);
        bits_to_bytes(words, bytes);
        ASSERT_EQ(bytes, events) << "trial " << trial;
        std::vector<uint8_t> packed((n + 7) / 8, 0xEE);
        bits_to_packed(words, packed);
        std::vector<uint8_t> expected_packed((n + 7) / 8, 0);
        for (size_t k = 0; k < n; ++k) expected_packed[k / 8] |= static_cast<uint8_t>(events[k] << (k % 8));
        ASSERT_EQ(packed, expected_packed) << "trial " << trial;
    }
}

// Any nonzero byte is a fired event, whatever its value and wherever it
// sits among the sixteen-byte, eight-byte and tail reads.
TEST(EventBits, WordFromBytesSetsExactlyTheNonzeroOnes) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<uint8_t> bytes(rng() % 65);
        for (auto& b : bytes) b = rng() % 3 == 0 ? static_cast<uint8_t>(1 + rng() % 255) : 0;
        uint64_t expected = 0;
        for (size_t k = 0; k < bytes.size(); ++k) expected |= uint64_t{bytes[k] != 0} << k;
        ASSERT_EQ(bytes_to_word(bytes), expected) << "trial " << trial;
    }
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
