#include "veskar/core/window.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace veskar {
namespace {

SyndromeWindow make_window(uint64_t ancilla_count, uint64_t window_depth) {
    auto window = SyndromeWindow::create(ancilla_count, window_depth);
    EXPECT_TRUE(window.has_value());
    return std::move(*window);
}

OwnedSyndromeData round_with(std::vector<uint8_t> events, uint64_t frame_id = 0) {
    OwnedSyndromeData data;
    data.detector_events = std::move(events);
    data.meas_results = {-1, 1};
    data.frame_id = frame_id;
    data.timestamp_ns = frame_id * 1000;
    data.round = static_cast<uint32_t>(frame_id);
    return data;
}

std::vector<uint8_t> matrix_of(const SyndromeWindow& window) {
    return {window.matrix().begin(), window.matrix().end()};
}

TEST(SyndromeWindow, EvictsOldestAndCutsOrPadsRows) {
    SyndromeWindow window = make_window(3, 2);
    window.push_owned(round_with({1, 0, 1}, 1));
    window.push_owned(round_with({0, 1}, 2));
    window.push_owned(round_with({1, 1, 1, 1}, 3));

    ASSERT_EQ(window.size(), 2u);
    EXPECT_EQ(window.round_at(0).frame_id, 2u);
    EXPECT_EQ(window.round_at(1).frame_id, 3u);
    // The round keeps its own events uncut; only the matrix row is cut.
    EXPECT_EQ(window.round_at(1).detector_events.size(), 4u);
    EXPECT_EQ(matrix_of(window), (std::vector<uint8_t>{0, 1, 0, 1, 1, 1}));
    EXPECT_EQ(window.active_detectors(), (std::vector<uint32_t>{1, 3, 4, 5}));
}

TEST(SyndromeWindow, FirstPushIntoDepthOneWindowDoesNotEvict) {
    SyndromeWindow window = make_window(2, 1);
    EXPECT_TRUE(window.empty());
    EXPECT_FALSE(window.is_full());
    window.push_owned(round_with({0, 1}, 9));
    ASSERT_EQ(window.size(), 1u);
    EXPECT_TRUE(window.is_full());
    EXPECT_EQ(window.round_at(0).frame_id, 9u);
    EXPECT_EQ(window.round_at(0).meas_results, (std::vector<int8_t>{-1, 1}));
    EXPECT_EQ(matrix_of(window), (std::vector<uint8_t>{0, 1}));
}

TEST(SyndromeWindow, EmptyEventsGiveARowOfZeros) {
    SyndromeWindow window = make_window(4, 3);
    window.push_owned(round_with({1, 1, 1, 1}));
    window.push_owned(round_with({}));
    EXPECT_EQ(matrix_of(window), (std::vector<uint8_t>{1, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(window.active_detectors(), (std::vector<uint32_t>{0, 1, 2, 3}));
}

class WindowDepth : public testing::TestWithParam<uint64_t> {};

TEST_P(WindowDepth, KeepsTheLastDepthRoundsInOrder) {
    const uint64_t depth = GetParam();
    SyndromeWindow window = make_window(2, depth);
    const uint8_t* storage = window.matrix().data();
    for (uint64_t push = 1; push <= depth + 5; ++push) {
        window.push_owned(round_with({static_cast<uint8_t>(push & 1), 1}, push));
        ASSERT_EQ(window.size(), std::min(push, depth));
        // Storage reserved at creation is reused by every rebuild.
        ASSERT_EQ(window.matrix().data(), storage);
    }
    EXPECT_TRUE(window.is_full());
    for (uint64_t age = 0; age < depth; ++age) {
        const uint64_t push = 6 + age;  // the oldest round left is push number 6
        EXPECT_EQ(window.round_at(age).frame_id, push);
        EXPECT_EQ(window.matrix()[2 * age], push & 1);
        EXPECT_EQ(window.matrix()[2 * age + 1], 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, WindowDepth, testing::Values(1u, 2u, 3u, 7u));

TEST(SyndromeWindow, ActiveDetectorsMatchAByteByByteScan) {
    // Widths around the eight-byte stride, fired bits at every offset.
    std::mt19937 rng(11);
    for (uint64_t ancillas : {1u, 7u, 8u, 9u, 17u, 24u}) {
        SyndromeWindow window = make_window(ancillas, 5);
        std::vector<uint32_t> reused;
        for (int push = 0; push < 12; ++push) {
            std::vector<uint8_t> events(ancillas);
            for (uint8_t& e : events) e = rng() % 5 == 0 ? 1 : 0;
            window.push_owned(round_with(events));

            std::vector<uint32_t> expected;
            for (size_t i = 0; i < window.matrix().size(); ++i) {
                if (window.matrix()[i] == 1) expected.push_back(static_cast<uint32_t>(i));
            }
            EXPECT_EQ(window.active_detectors(), expected);
            reused.assign(3, 99);  // stale contents must be cleared
            window.active_detectors(reused);
            EXPECT_EQ(reused, expected);
        }
    }
}

TEST(SyndromeWindow, CallerVectorIsReusedWithoutReallocating) {
    SyndromeWindow window = make_window(16, 2);
    window.push_owned(round_with(std::vector<uint8_t>(16, 1)));
    std::vector<uint32_t> out;
    out.reserve(32);
    const uint32_t* storage = out.data();
    window.active_detectors(out);
    EXPECT_EQ(out.size(), 16u);
    window.push_owned(round_with(std::vector<uint8_t>(16, 1)));
    window.active_detectors(out);
    EXPECT_EQ(out.size(), 32u);
    EXPECT_EQ(out.data(), storage);
}

TEST(SyndromeWindow, AncillaFreeWindowKeepsRoundsWithEmptyRows) {
    SyndromeWindow window = make_window(0, 2);
    window.push_owned(round_with({1, 1}, 1));
    window.push_owned(round_with({1}, 2));
    window.push_owned(round_with({1}, 3));
    EXPECT_EQ(window.size(), 2u);
    EXPECT_EQ(window.round_at(0).frame_id, 2u);
    EXPECT_TRUE(window.matrix().empty());
    EXPECT_TRUE(window.active_detectors().empty());
}

struct RefusedCase {
    uint64_t ancilla_count;
    uint64_t window_depth;
    size_t variant;  // index into WindowError
    std::string text;
};

class RefusedWindow : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedWindow, ReportsWhyWithoutAborting) {
    const RefusedCase& c = GetParam();
    auto window = SyndromeWindow::create(c.ancilla_count, c.window_depth);
    ASSERT_FALSE(window.has_value());
    EXPECT_EQ(window.error().index(), c.variant);
    EXPECT_EQ(message(window.error()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RefusedWindow,
    testing::Values(
        RefusedCase{3, 0, 0, "window_depth must be at least 1"},
        RefusedCase{0, 0, 0, "window_depth must be at least 1"},
        // 2^32 detectors is the most a 32-bit flat index can name.
        RefusedCase{uint64_t{1} << 16, (uint64_t{1} << 16) + 1, 1,
                    "window of 65536 ancillas by 65537 rounds is too large (at most 2^32 detectors)"},
        // The product wraps to 0 in 64 bits; it must still be refused.
        RefusedCase{uint64_t{1} << 32, uint64_t{1} << 32, 1,
                    "window of 4294967296 ancillas by 4294967296 rounds is too large (at most 2^32 detectors)"},
        RefusedCase{0, UINT64_MAX, 1,
                    "window of 0 ancillas by 18446744073709551615 rounds is too large (at most 2^32 detectors)"},
        // More round slots than any address space holds, yet a valid size.
        RefusedCase{0, uint64_t{1} << 50, 2,
                    "cannot reserve memory for a window of 0 ancillas by 1125899906842624 rounds"}));

TEST(SyndromeWindow, ExactlyTwoToThe32DetectorsIsNotASizeOverflow) {
    // 4 GiB of matrix: reserving it may or may not succeed on the machine
    // running the test, but the size itself is within the limit.
    auto window = SyndromeWindow::create(uint64_t{1} << 16, uint64_t{1} << 16);
    if (!window.has_value()) {
        EXPECT_TRUE(holds<window_error::OutOfMemory>(window.error()));
    }
}

}  // namespace
}  // namespace veskar
