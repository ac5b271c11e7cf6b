#pragma once

// Shots drawn from a detector error model the way Stim samples one: every
// error fires independently with its probability and flips its detectors
// and observables. Shared by the decoder tests and bench/.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "veskar/dem/parser.hpp"

namespace veskar::testing_support {

class DemSampler {
   public:
    DemSampler(const DetectorErrorModel& model, uint64_t seed) : model_(model), rng_(seed) {
        for (const DemError& error : model.errors) {
            const double p = std::isnan(error.probability) ? 0.0 : std::clamp(error.probability, 0.0, 1.0);
            probability_.push_back(p);
            most_likely_ = std::max(most_likely_, p);
        }
    }

    uint64_t detector_count() const { return model_.detector_count; }

    // One shot: `events` gets one byte per detector (1: fired); returns the
    // true observable flips.
    uint64_t sample(std::vector<uint8_t>& events) {
        events.assign(model_.detector_count, 0);
        uint64_t flips = 0;
        if (most_likely_ <= 0.0) return flips;
        // Errors are mostly unlikely: step from one candidate to the next by
        // a geometric gap at the largest probability, and keep a candidate
        // with its own probability relative to that.
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        const double log_miss = std::log1p(-std::min(most_likely_, 1.0 - 1e-12));
        for (size_t i = 0;; ++i) {
            if (most_likely_ < 1.0) {
                const double gap = std::floor(std::log1p(-uniform(rng_)) / log_miss);
                if (gap >= static_cast<double>(probability_.size() - i)) break;
                i += static_cast<size_t>(gap);
            }
            if (i >= probability_.size()) break;
            if (uniform(rng_) * most_likely_ >= probability_[i]) continue;
            for (uint32_t d : model_.errors[i].detectors) events[d] ^= 1;
            for (uint8_t o : model_.errors[i].observables) flips ^= uint64_t{1} << (o % 64);
        }
        return flips;
    }

   private:
    const DetectorErrorModel& model_;
    std::mt19937_64 rng_;
    std::vector<double> probability_;
    double most_likely_ = 0.0;
};

}  // namespace veskar::testing_support
