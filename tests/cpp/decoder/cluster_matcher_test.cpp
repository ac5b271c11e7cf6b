#include "veskar/decoder/cluster_matcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace veskar {
namespace {

constexpr int64_t kFar = std::numeric_limits<int64_t>::max();

// A connected random graph of `n` detectors and one boundary node (index
// n), in the form the matcher reads, with every node's shortest way out.
struct SmallGraph {
    uint32_t n = 0;
    struct Edge {
        uint32_t u;
        uint32_t v;
        int32_t weight;
    };
    std::vector<Edge> edges;
    std::vector<uint32_t> start, neighbour, edge;
    std::vector<int32_t> weight;
    std::vector<int64_t> exit_distance;
    std::vector<uint32_t> exit_edge, exit_next;

    AdjacencyView view() const {
        return AdjacencyView{start, neighbour, edge, weight, exit_distance, exit_edge, exit_next, n};
    }
};

SmallGraph random_graph(std::mt19937& rng) {
    SmallGraph g;
    g.n = 3 + rng() % 10;
    const auto w = [&] { return static_cast<int32_t>(1 + rng() % 20); };
    for (uint32_t x = 1; x < g.n; ++x) g.edges.push_back({static_cast<uint32_t>(rng() % x), x, w()});
    for (uint32_t i = rng() % (2 * g.n); i > 0; --i) {
        const uint32_t u = rng() % g.n;
        const uint32_t v = rng() % g.n;
        if (u != v) g.edges.push_back({std::min(u, v), std::max(u, v), w()});
    }
    g.edges.push_back({static_cast<uint32_t>(rng() % g.n), g.n, w()});
    for (uint32_t x = 0; x < g.n; ++x) {
        if (rng() % 3 == 0) g.edges.push_back({x, g.n, w()});
    }
    const uint32_t nodes = g.n + 1;
    g.start.assign(nodes + 1, 0);
    for (const auto& e : g.edges) ++g.start[e.u + 1], ++g.start[e.v + 1];
    for (uint32_t x = 0; x < nodes; ++x) g.start[x + 1] += g.start[x];
    g.neighbour.resize(g.start[nodes]);
    g.edge.resize(g.start[nodes]);
    g.weight.resize(g.start[nodes]);
    std::vector<uint32_t> fill(g.start.begin(), g.start.end() - 1);
    for (uint32_t i = 0; i < g.edges.size(); ++i) {
        const auto& e = g.edges[i];
        for (const auto& [from, to] : {std::pair{e.u, e.v}, std::pair{e.v, e.u}}) {
            g.neighbour[fill[from]] = to;
            g.edge[fill[from]] = i;
            g.weight[fill[from]++] = e.weight;
        }
    }
    // Ways out by relaxing every edge until nothing changes.
    g.exit_distance.assign(nodes, kFar);
    g.exit_edge.assign(nodes, 0);
    g.exit_next.assign(nodes, 0);
    for (bool changed = true; changed;) {
        changed = false;
        for (uint32_t i = 0; i < g.edges.size(); ++i) {
            const auto& e = g.edges[i];
            for (const auto& [from, to] : {std::pair{e.u, e.v}, std::pair{e.v, e.u}}) {
                if (from >= g.n) continue;
                const int64_t via = to >= g.n ? 0 : g.exit_distance[to];
                if (via == kFar || via + e.weight >= g.exit_distance[from]) continue;
                g.exit_distance[from] = via + e.weight;
                g.exit_edge[from] = i;
                g.exit_next[from] = to;
                changed = true;
            }
        }
    }
    return g;
}

// The lightest set of edges that every fired detector ends an odd number of
// (the boundary free): a matching of the detectors, to each other along
// shortest paths avoiding the boundary or each to the boundary, tried over
// every subset.
int64_t lightest_correction(const SmallGraph& g, const std::vector<uint32_t>& fired) {
    const int64_t far = int64_t{1} << 40;  // sums of two stay in range
    std::vector<int64_t> d(size_t{g.n} * g.n, far);
    for (uint32_t x = 0; x < g.n; ++x) d[x * g.n + x] = 0;
    for (const auto& e : g.edges) {
        if (e.v >= g.n) continue;
        d[e.u * g.n + e.v] = std::min<int64_t>(d[e.u * g.n + e.v], e.weight);
        d[e.v * g.n + e.u] = d[e.u * g.n + e.v];
    }
    for (uint32_t m = 0; m < g.n; ++m) {
        for (uint32_t a = 0; a < g.n; ++a) {
            for (uint32_t b = 0; b < g.n; ++b) {
                d[a * g.n + b] = std::min(d[a * g.n + b], d[a * g.n + m] + d[m * g.n + b]);
            }
        }
    }
    const auto k = static_cast<uint32_t>(fired.size());
    std::vector<int64_t> best(size_t{1} << k, 0);
    for (uint32_t set = 1; set < (1u << k); ++set) {
        const auto i = static_cast<uint32_t>(std::countr_zero(set));
        const uint32_t rest = set & (set - 1);
        int64_t value = g.exit_distance[fired[i]] + best[rest];
        for (uint32_t others = rest; others != 0; others &= others - 1) {
            const auto j = static_cast<uint32_t>(std::countr_zero(others));
            value = std::min(value, d[fired[i] * g.n + fired[j]] + best[rest & ~(1u << j)]);
        }
        best[set] = value;
    }
    return best.back();
}

// With every detector of the graph in the group and no more fired
// detectors than the matcher compares each with, the correction must be a
// valid one of least weight. One matcher serves every graph.
TEST(ClusterMatcher, FindsTheLightestCorrection) {
    std::mt19937 rng(31337);
    const uint32_t capacity = 9;
    ClusterMatcher matcher(13, 2 * 60, 60, capacity);
    for (int trial = 0; trial < 3000; ++trial) {
        const SmallGraph g = random_graph(rng);
        std::vector<uint32_t> fired;
        for (uint32_t x = 0; x < g.n && fired.size() < capacity; ++x) {
            if (rng() % 2 == 0) fired.push_back(x);
        }
        matcher.begin();
        for (uint32_t x = 0; x < g.n; ++x) {
            matcher.add(x, std::find(fired.begin(), fired.end(), x) != fired.end());
        }
        ASSERT_TRUE(matcher.match(g.view()));
        std::vector<uint32_t> degree(g.n + 1, 0);
        int64_t weight = 0;
        matcher.flush([&](uint32_t e) {
            ++degree[g.edges[e].u];
            ++degree[g.edges[e].v];
            weight += g.edges[e].weight;
        });
        for (uint32_t x = 0; x < g.n; ++x) {
            const bool is_fired = std::find(fired.begin(), fired.end(), x) != fired.end();
            ASSERT_EQ(degree[x] % 2, is_fired ? 1u : 0u) << "trial " << trial << " node " << x;
        }
        ASSERT_EQ(weight, lightest_correction(g, fired)) << "trial " << trial;
    }
}

}  // namespace
}  // namespace veskar
