#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace veskar {

// Counts, over many shots, how often the decoder's prediction for each
// logical observable disagreed with the truth. Observable k is bit k of a
// mask. Every counter is a separate relaxed atomic, so record() may run on
// several threads at once without losing counts; rates read meanwhile may
// mix counts from different moments.
class LogicalErrorAccumulator {
   public:
    static constexpr size_t kMaxObservables = 64;

    // Tracks min(observable_count, 64) observables, all counters at zero.
    explicit LogicalErrorAccumulator(size_t observable_count);

    // Counts one shot and each tracked observable whose bits differ.
    // Allocates nothing; bits at or above observable_count() are ignored.
    void record(uint64_t observable_flips, uint64_t ground_truth);

    // Mispredicted shots of `observable` over all shots; 0.0 before any shot
    // and for an observable that is not tracked.
    double logical_error_rate(size_t observable) const;

    // The average of the per-observable rates; 0.0 when none is tracked.
    double mean_logical_error_rate() const;

    uint64_t total_shots() const;

    // Mispredicted shots of `observable`; 0 for an observable not tracked.
    uint64_t error_count(size_t observable) const;

    // Adds `shots` shots, and errors[k] errors of each tracked observable k,
    // as counted elsewhere (a copy being restored, another worker's counts).
    void add_counts(uint64_t shots, std::span<const uint64_t> errors);

    // Clears the counters one after another (not as one step); the number
    // of tracked observables stays.
    void reset();

    size_t observable_count() const { return observable_count_; }

   private:
    size_t observable_count_;
    uint64_t tracked_mask_;
    // [0] counts shots, [1 + k] the errors of observable k; allocated once.
    std::unique_ptr<std::atomic<uint64_t>[]> counters_;
};

}  // namespace veskar
