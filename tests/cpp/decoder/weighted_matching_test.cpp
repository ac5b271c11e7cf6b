#include "veskar/decoder/weighted_matching.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <vector>

namespace veskar {
namespace {

// The best total weight over all matchings, by dynamic programming over
// subsets: the lowest vertex left is either unmatched or matched to another.
int64_t best_weight(uint32_t n, const std::vector<int64_t>& w) {
    std::vector<int64_t> best(size_t{1} << n, 0);
    for (uint32_t set = 1; set < (1u << n); ++set) {
        const uint32_t i = static_cast<uint32_t>(std::countr_zero(set));
        const uint32_t rest = set & ~(1u << i);
        int64_t value = best[rest];
        for (uint32_t others = rest; others != 0; others &= others - 1) {
            const uint32_t j = static_cast<uint32_t>(std::countr_zero(others));
            if (w[i * n + j] > 0) value = std::max(value, w[i * n + j] + best[rest & ~(1u << j)]);
        }
        best[set] = value;
    }
    return best.back();
}

// Random graphs, dense and sparse, with ties and blossom-prone odd cycles:
// the matching must be valid, use only positive edges, and reach the best
// weight. One matcher serves every graph, so nothing may leak between them.
TEST(MaxWeightMatching, ReachesTheBestWeightOnRandomGraphs) {
    std::mt19937 rng(12345);
    MaxWeightMatching matching(14);
    for (int trial = 0; trial < 3000; ++trial) {
        const uint32_t n = 1 + rng() % 14;
        const uint32_t density = 1 + rng() % 4;
        const int64_t range = trial % 3 == 0 ? 4 : 1000;
        std::vector<int64_t> w(n * n, 0);
        matching.reset(n);
        for (uint32_t i = 0; i < n; ++i) {
            for (uint32_t j = i + 1; j < n; ++j) {
                if (rng() % density != 0) continue;
                const int64_t weight = static_cast<int64_t>(rng() % range) - range / 8;
                w[i * n + j] = w[j * n + i] = std::max<int64_t>(weight, 0);
                matching.set_weight(i, j, weight);
            }
        }
        matching.solve();
        int64_t total = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t j = matching.mate(i);
            if (j == MaxWeightMatching::kUnmatched) continue;
            ASSERT_LT(j, n);
            ASSERT_EQ(matching.mate(j), i) << "trial " << trial;
            ASSERT_GT(w[i * n + j], 0) << "trial " << trial;
            if (i < j) total += w[i * n + j];
        }
        ASSERT_EQ(total, best_weight(n, w)) << "trial " << trial << " n " << n;
    }
}

}  // namespace
}  // namespace veskar
