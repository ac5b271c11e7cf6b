#include "veskar/metrics/logical_error_accumulator.hpp"

#include <algorithm>
#include <bit>

namespace veskar {

LogicalErrorAccumulator::LogicalErrorAccumulator(size_t observable_count)
    : observable_count_(std::min(observable_count, kMaxObservables)),
      tracked_mask_(observable_count_ == kMaxObservables ? ~uint64_t{0} : (uint64_t{1} << observable_count_) - 1),
      counters_(std::make_unique<std::atomic<uint64_t>[]>(observable_count_ + 1)) {
    for (size_t i = 0; i <= observable_count_; ++i) counters_[i].store(0, std::memory_order_relaxed);
}

void LogicalErrorAccumulator::record(uint64_t observable_flips, uint64_t ground_truth) {
    counters_[0].fetch_add(1, std::memory_order_relaxed);
    uint64_t wrong = (observable_flips ^ ground_truth) & tracked_mask_;
    while (wrong != 0) {
        const int k = std::countr_zero(wrong);
        counters_[1 + static_cast<size_t>(k)].fetch_add(1, std::memory_order_relaxed);
        wrong &= wrong - 1;
    }
}

double LogicalErrorAccumulator::logical_error_rate(size_t observable) const {
    const uint64_t shots = counters_[0].load(std::memory_order_relaxed);
    if (shots == 0 || observable >= observable_count_) return 0.0;
    const uint64_t errors = counters_[1 + observable].load(std::memory_order_relaxed);
    return static_cast<double>(errors) / static_cast<double>(shots);
}

double LogicalErrorAccumulator::mean_logical_error_rate() const {
    if (observable_count_ == 0) return 0.0;
    double sum = 0.0;
    for (size_t k = 0; k < observable_count_; ++k) sum += logical_error_rate(k);
    return sum / static_cast<double>(observable_count_);
}

uint64_t LogicalErrorAccumulator::total_shots() const {
    return counters_[0].load(std::memory_order_relaxed);
}

uint64_t LogicalErrorAccumulator::error_count(size_t observable) const {
    return observable < observable_count_ ? counters_[1 + observable].load(std::memory_order_relaxed) : 0;
}

void LogicalErrorAccumulator::add_counts(uint64_t shots, std::span<const uint64_t> errors) {
    counters_[0].fetch_add(shots, std::memory_order_relaxed);
    for (size_t k = 0; k < std::min(errors.size(), observable_count_); ++k) {
        counters_[1 + k].fetch_add(errors[k], std::memory_order_relaxed);
    }
}

void LogicalErrorAccumulator::reset() {
    for (size_t i = 0; i <= observable_count_; ++i) counters_[i].store(0, std::memory_order_relaxed);
}

}  // namespace veskar
