#include "veskar/metrics/logical_error_accumulator.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace veskar {
namespace {

TEST(Accumulator, TracksAtMost64Observables) {
    EXPECT_EQ(LogicalErrorAccumulator(0).observable_count(), 0u);
    EXPECT_EQ(LogicalErrorAccumulator(5).observable_count(), 5u);
    EXPECT_EQ(LogicalErrorAccumulator(64).observable_count(), 64u);
    EXPECT_EQ(LogicalErrorAccumulator(100).observable_count(), 64u);
}

TEST(Accumulator, RatesBeforeAnyShotAreZero) {
    LogicalErrorAccumulator acc(3);
    EXPECT_EQ(acc.total_shots(), 0u);
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(acc.logical_error_rate(k), 0.0);
    EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
}

TEST(Accumulator, PerObservableAndMean) {
    LogicalErrorAccumulator acc(2);
    acc.record(0b01, 0b11);
    EXPECT_EQ(acc.total_shots(), 1u);
    EXPECT_EQ(acc.logical_error_rate(0), 0.0);
    EXPECT_EQ(acc.logical_error_rate(1), 1.0);
    EXPECT_EQ(acc.mean_logical_error_rate(), 0.5);
    acc.record(0b11, 0b10);
    acc.record(0b00, 0b00);
    acc.record(0b10, 0b10);
    EXPECT_EQ(acc.total_shots(), 4u);
    EXPECT_EQ(acc.logical_error_rate(0), 0.25);
    EXPECT_EQ(acc.logical_error_rate(1), 0.25);
    EXPECT_EQ(acc.mean_logical_error_rate(), 0.25);
}

TEST(Accumulator, BitsBeyondTheTrackedOnesAreIgnored) {
    LogicalErrorAccumulator acc(2);
    acc.record(0b1100, 0);
    EXPECT_EQ(acc.total_shots(), 1u);
    EXPECT_EQ(acc.logical_error_rate(0), 0.0);
    EXPECT_EQ(acc.logical_error_rate(1), 0.0);
    EXPECT_EQ(acc.logical_error_rate(2), 0.0);
    EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
}

TEST(Accumulator, NoObservablesCountsShotsOnly) {
    LogicalErrorAccumulator acc(0);
    acc.record(~uint64_t{0}, 0);
    acc.record(1, 0);
    EXPECT_EQ(acc.total_shots(), 2u);
    EXPECT_EQ(acc.logical_error_rate(0), 0.0);
    EXPECT_EQ(acc.mean_logical_error_rate(), 0.0);
}

TEST(Accumulator, AllSixtyFourBits) {
    LogicalErrorAccumulator acc(100);
    acc.record(~uint64_t{0}, 0);
    acc.record(uint64_t{1} << 63, 0);
    EXPECT_EQ(acc.logical_error_rate(0), 0.5);
    EXPECT_EQ(acc.logical_error_rate(63), 1.0);
    EXPECT_EQ(acc.logical_error_rate(64), 0.0);
    EXPECT_DOUBLE_EQ(acc.mean_logical_error_rate(), (63 * 0.5 + 1.0) / 64);
}

TEST(Accumulator, ResetKeepsTheObservables) {
    LogicalErrorAccumulator acc(3);
    acc.record(0b111, 0);
    acc.reset();
    EXPECT_EQ(acc.total_shots(), 0u);
    EXPECT_EQ(acc.observable_count(), 3u);
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(acc.logical_error_rate(k), 0.0);
    acc.record(0b100, 0);
    EXPECT_EQ(acc.logical_error_rate(2), 1.0);
    EXPECT_EQ(acc.logical_error_rate(0), 0.0);
}

TEST(Accumulator, ConcurrentRecordsLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kShots = 50000;
    LogicalErrorAccumulator acc(64);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&acc, t] {
            // Thread t mispredicts observable t on every shot and observable 63 on every other.
            for (int i = 0; i < kShots; ++i) acc.record((uint64_t{1} << t) | (i % 2 ? uint64_t{1} << 63 : 0), 0);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(acc.total_shots(), uint64_t{kThreads * kShots});
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(acc.logical_error_rate(t), 1.0 / kThreads);
    EXPECT_EQ(acc.logical_error_rate(63), 0.5);
    EXPECT_EQ(acc.logical_error_rate(kThreads), 0.0);
}

TEST(Accumulator, CountsAddUpFromElsewhere) {
    LogicalErrorAccumulator acc(2);
    acc.record(0b01, 0b11);
    const uint64_t errors[] = {5, 7, 9};  // the third observable is not tracked
    acc.add_counts(10, errors);
    EXPECT_EQ(acc.total_shots(), 11u);
    EXPECT_EQ(acc.error_count(0), 5u);
    EXPECT_EQ(acc.error_count(1), 8u);
    EXPECT_EQ(acc.error_count(2), 0u);
    EXPECT_EQ(acc.logical_error_rate(1), 8.0 / 11.0);
}

}  // namespace
}  // namespace veskar
