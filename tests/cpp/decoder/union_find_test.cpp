#include "veskar/decoder/union_find.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace veskar {
namespace {

struct Mechanism {
    uint32_t u;
    uint32_t v;  // kB for the boundary
    double p;
    std::vector<uint8_t> observables;
};

constexpr uint32_t kB = UINT32_MAX;  // stands for the boundary in a Mechanism

// A graph as the DEM graph builder makes it: one node per detector and the
// boundary last, one edge per mechanism with weight -ln(p / (1 - p)).
std::shared_ptr<const SpacetimeGraph> graph_of(uint32_t detector_count, const std::vector<Mechanism>& mechanisms) {
    auto graph = std::make_shared<SpacetimeGraph>();
    for (uint32_t d = 0; d < detector_count; ++d) graph->nodes.push_back(SpacetimeNode{std::nullopt, d});
    graph->nodes.push_back(SpacetimeNode{std::nullopt, kBoundaryDetector});
    graph->boundary = detector_count;
    for (const Mechanism& m : mechanisms) {
        graph->edges.push_back(SpacetimeEdge{m.observables, m.u, m.v == kB ? detector_count : m.v,
                                             -static_cast<float>(std::log(m.p / (1 - m.p)))});
    }
    return graph;
}

UnionFindDecoder decoder_of(uint32_t detector_count, const std::vector<Mechanism>& mechanisms) {
    auto decoder = UnionFindDecoder::create(graph_of(detector_count, mechanisms));
    EXPECT_TRUE(decoder.has_value());
    return std::move(*decoder);
}

// A window of one round holding exactly these fired detectors.
SyndromeWindow window_firing(uint64_t width, const std::vector<uint32_t>& fired) {
    SyndromeWindow window = *SyndromeWindow::create(width, 1);
    OwnedSyndromeData round;
    round.detector_events.assign(width, 0);
    for (uint32_t d : fired) round.detector_events[d] = 1;
    window.push_owned(std::move(round));
    return window;
}

TEST(UnionFindDecoder, PairOfFiredDetectorsFlipsTheirEdgesObservable) {
    // error(0.1) D0 D1 ^ L0
    UnionFindDecoder decoder = decoder_of(2, {{0, 1, 0.1, {0}}});
    DecoderResult result = decoder.decode_window(window_firing(2, {0, 1}));
    EXPECT_EQ(result.observable_flips, 1u);
    EXPECT_DOUBLE_EQ(result.confidence, 0.9);
    EXPECT_EQ(result.corrections, (std::vector<LogicalCorrection>{{0, 3}}));
}

TEST(UnionFindDecoder, ParallelCopiesOfAMechanismDoNotCancel) {
    // The same error written twice is one likelier edge, not two flips.
    UnionFindDecoder decoder = decoder_of(2, {{0, 1, 0.1, {0}}, {0, 1, 0.1, {0}}});
    EXPECT_EQ(decoder.compact_edge_count(), 1u);
    EXPECT_EQ(decoder.decode_window(window_firing(2, {0, 1})).observable_flips, 1u);
}

TEST(UnionFindDecoder, NothingToDecodeGivesTheEmptyResult) {
    UnionFindDecoder decoder = decoder_of(2, {{0, 1, 0.1, {0}}, {0, kB, 0.1, {1}}});
    SyndromeWindow empty = *SyndromeWindow::create(2, 3);
    for (const SyndromeWindow& window : {empty, window_firing(2, {})}) {
        DecoderResult result = decoder.decode_window(window);
        EXPECT_EQ(result.observable_flips, 0u);
        EXPECT_DOUBLE_EQ(result.confidence, 1.0);
        EXPECT_TRUE(result.corrections.empty());
    }
}

struct LineCase {
    const char* name;
    std::vector<uint32_t> fired;
    uint64_t mask;
};

class RepetitionLine : public testing::TestWithParam<LineCase> {};

// boundary -L0- D0 - D1 - D2 - D3 - boundary, all mechanisms equally likely:
// the shortest correction wins.
TEST_P(RepetitionLine, CorrectsAlongTheShortestChain) {
    UnionFindDecoder decoder =
        decoder_of(4, {{0, kB, 0.05, {0}}, {0, 1, 0.05, {}}, {1, 2, 0.05, {}}, {2, 3, 0.05, {}}, {3, kB, 0.05, {}}});
    DecoderResult result = decoder.decode_window(window_firing(4, GetParam().fired));
    EXPECT_EQ(result.observable_flips, GetParam().mask);
    EXPECT_EQ(result.corrections.size(), static_cast<size_t>(std::popcount(GetParam().mask)));
}

INSTANTIATE_TEST_SUITE_P(Syndromes, RepetitionLine,
                         testing::Values(LineCase{"NextToTheObservableBoundary", {0}, 1},
                                         LineCase{"NextToTheOtherBoundary", {3}, 0}, LineCase{"ClosePair", {1, 2}, 0},
                                         LineCase{"PairAtTheObservableEnd", {0, 1}, 0},
                                         LineCase{"BothEndsToTheirBoundaries", {0, 3}, 1},
                                         LineCase{"ThreeDefects", {0, 2, 3}, 1}, LineCase{"AllFour", {0, 1, 2, 3}, 0}),
                         [](const auto& info) { return info.param.name; });

struct WeightCase {
    const char* name;
    double boundary_p;  // of the single edge to the observable's boundary
    double chain_p;     // of each of the three edges to the other boundary
    uint64_t mask;
};

class WeightedGrowth : public testing::TestWithParam<WeightCase> {};

// D0 has one edge to the boundary carrying L0 and a chain of three edges to
// the boundary without it; the likelier route must win even when longer.
TEST_P(WeightedGrowth, LikelierRouteWins) {
    const WeightCase& c = GetParam();
    UnionFindDecoder decoder = decoder_of(
        3, {{0, kB, c.boundary_p, {0}}, {0, 1, c.chain_p, {}}, {1, 2, c.chain_p, {}}, {2, kB, c.chain_p, {}}});
    EXPECT_EQ(decoder.decode_window(window_firing(3, {0})).observable_flips, c.mask);
}

INSTANTIATE_TEST_SUITE_P(Weights, WeightedGrowth,
                         testing::Values(WeightCase{"EqualEdgesShortRoute", 0.1, 0.1, 1},
                                         // ln(99) = 4.60 against 3 ln(4) = 4.16
                                         WeightCase{"ThreeLikelyEdgesBeatOneUnlikely", 0.01, 0.2, 0},
                                         // ln(49) = 3.89 against 4.16
                                         WeightCase{"OneEdgeBeatsThreeWhenLighter", 0.02, 0.2, 1}),
                         [](const auto& info) { return info.param.name; });

TEST(UnionFindDecoder, PairsBeforeReachingFarBoundaries) {
    // D0 and D1 are joined by a likely edge; each has an unlikely edge to
    // the boundary carrying a different observable.
    UnionFindDecoder decoder = decoder_of(2, {{0, kB, 0.001, {0}}, {0, 1, 0.1, {2}}, {1, kB, 0.001, {1}}});
    EXPECT_EQ(decoder.decode_window(window_firing(2, {0, 1})).observable_flips, 4u);
}

TEST(UnionFindDecoder, AnEdgeAtLeastAsLikelyAsNotJoinsAtOnce) {
    // D0 -L0- D1 costs nothing to grow (p >= 0.5), so D0 reaches the
    // boundary through D1 (0 + 2.20) before its own edge (2.94) fills.
    UnionFindDecoder decoder = decoder_of(2, {{0, 1, 0.6, {0}}, {1, kB, 0.1, {1}}, {0, kB, 0.05, {2}}});
    EXPECT_EQ(decoder.decode_detectors(std::vector<uint32_t>{0}), 3u);
}

TEST(UnionFindDecoder, ObservableListsAreXoredAndSelfLoopsIgnored) {
    // A self-loop flips no detector, so no syndrome can call for it, whatever
    // its probability; an observable listed twice flips nothing.
    UnionFindDecoder decoder = decoder_of(1, {{0, 0, 0.4, {3}}, {0, kB, 0.1, {0, 0, 1}}});
    EXPECT_EQ(decoder.compact_edge_count(), 1u);
    DecoderResult result = decoder.decode_window(window_firing(1, {0}));
    EXPECT_EQ(result.observable_flips, 2u);
    EXPECT_EQ(result.corrections, (std::vector<LogicalCorrection>{{1, 3}}));
}

TEST(UnionFindDecoder, MergedParallelEdgesKeepTheLikelierObservables) {
    // Either mechanism alone (weights 4.50 and 4.70) is heavier than the two
    // boundary edges together (2 x 2.20), so D0 and D1 would each go to the
    // boundary (mask 12); merged (p = 0.0198, weight 3.90) they pair, and the
    // merged edge carries the likelier mechanism's L0, listed second.
    UnionFindDecoder decoder =
        decoder_of(2, {{0, 1, 0.009, {1}}, {0, 1, 0.011, {0}}, {0, kB, 0.1, {2}}, {1, kB, 0.1, {3}}});
    EXPECT_EQ(decoder.compact_edge_count(), 3u);
    EXPECT_EQ(decoder.decode_window(window_firing(2, {0, 1})).observable_flips, 1u);
}

TEST(UnionFindDecoder, CorrectionsAreListedInIncreasingObservableOrder) {
    UnionFindDecoder decoder = decoder_of(1, {{0, kB, 0.1, {63, 5, 0, 17}}});
    DecoderResult result = decoder.decode_window(window_firing(1, {0}));
    EXPECT_EQ(result.observable_flips, (uint64_t{1} << 63) | (1u << 17) | (1u << 5) | 1u);
    EXPECT_EQ(result.corrections, (std::vector<LogicalCorrection>{{0, 3}, {5, 3}, {17, 3}, {63, 3}}));
}

struct UnmatchableCase {
    const char* name;
    std::vector<uint32_t> fired;
    uint64_t mask;
};

class NoValidCorrection : public testing::TestWithParam<UnmatchableCase> {};

// Nodes 0 - 1 - 2 form a part of the graph without any boundary edge; node
// 3 has its own boundary edge. An odd count on 0..2 cannot be corrected: the
// first fired detector of that cluster is left over, the others paired.
TEST_P(NoValidCorrection, LeavesTheFirstFiredDetectorUnmatched) {
    UnionFindDecoder decoder = decoder_of(4, {{0, 1, 0.1, {0}}, {1, 2, 0.1, {1}}, {3, kB, 0.1, {2}}});
    DecoderResult result = decoder.decode_window(window_firing(4, GetParam().fired));
    EXPECT_EQ(result.observable_flips, GetParam().mask);
    EXPECT_DOUBLE_EQ(result.confidence, 0.9);
}

INSTANTIATE_TEST_SUITE_P(Syndromes, NoValidCorrection,
                         testing::Values(UnmatchableCase{"LoneDefect", {1}, 0},
                                         UnmatchableCase{"ThreeDefectsPairTheLastTwo", {0, 1, 2}, 2},
                                         UnmatchableCase{"EvenCountPairsAcrossTheMiddle", {0, 2}, 3},
                                         UnmatchableCase{"OddEndPairsThroughTheMiddle", {0, 1, 2, 3}, 2 | 4},
                                         UnmatchableCase{"ValidPartStillCorrected", {1, 3}, 4}),
                         [](const auto& info) { return info.param.name; });

TEST(UnionFindDecoder, DetectorsAtOrBeyondTheBoundaryAreIgnored) {
    UnionFindDecoder decoder = decoder_of(2, {{0, 1, 0.1, {0}}, {1, kB, 0.1, {1}}});
    // The window is wider than the graph: index 2 is the boundary node, 3..9
    // lie beyond every node.
    DecoderResult result = decoder.decode_window(window_firing(10, {2, 3, 9}));
    EXPECT_EQ(result.observable_flips, 0u);
    EXPECT_EQ(decoder.decode_window(window_firing(10, {0, 2, 5})).observable_flips, 3u);
}

TEST(UnionFindDecoder, RepeatedDetectorCancelsItself) {
    UnionFindDecoder decoder = decoder_of(2, {{0, kB, 0.1, {0}}, {1, kB, 0.1, {1}}});
    const std::vector<uint32_t> fired{0, 1, 0};
    EXPECT_EQ(decoder.decode_detectors(fired), 2u);
}

TEST(UnionFindDecoder, RefusesWhatItCannotDecode) {
    auto none = UnionFindDecoder::create(nullptr);
    ASSERT_FALSE(none.has_value());
    EXPECT_TRUE(holds<decoder_error::NoGraph>(none.error()));

    auto wide = UnionFindDecoder::create(graph_of(2, {{0, 1, 0.1, {3}}, {1, kB, 0.1, {64, 2}}}));
    ASSERT_FALSE(wide.has_value());
    ASSERT_TRUE(holds<decoder_error::ObservableBeyondMask>(wide.error()));
    EXPECT_EQ(std::get<decoder_error::ObservableBeyondMask>(wide.error()).observable, 64u);
    EXPECT_EQ(message(wide.error()), "observable index 64 is beyond the decoder's limit of 64 observables (L0 to L63)");

    auto widest = UnionFindDecoder::create(graph_of(2, {{0, 1, 0.1, {7, 2}}, {1, kB, 0.1, {63}}}));
    ASSERT_TRUE(widest.has_value());
    EXPECT_EQ(widest->observable_count(), 64u);
}

// The growth the decoder promises, done the plain way: in steps, each as
// long as it takes the next edge to fill, scanning every edge every step.
// Weights are made integers exactly as the decoder makes them. Returns the
// flip mask and the edges (as sorted end pairs) of peeling the grown edges,
// and whether they form a forest: only then is that correction the one the
// decoder must find, for a grown cycle leaves the choice of spanning forest,
// and with it the correction, to the order in which the decoder merges.
struct ReferenceDecode {
    uint64_t mask = 0;
    bool forest = true;
    std::set<std::pair<uint32_t, uint32_t>> edges;
};

ReferenceDecode reference_decode(uint32_t detector_count, const std::vector<Mechanism>& mechanisms,
                                 const std::vector<uint32_t>& fired) {
    const uint32_t n = detector_count + 1;  // the boundary is node detector_count
    const uint32_t boundary = detector_count;
    const SpacetimeGraph graph = *graph_of(detector_count, mechanisms);
    struct Edge {
        uint32_t u;
        uint32_t v;
        int64_t weight;
        uint64_t observables;
    };
    double heaviest = 0.0;
    for (const SpacetimeEdge& e : graph.edges) heaviest = std::max(heaviest, double{e.weight});
    const double scale = heaviest > 0.0 ? (1 << 16) / heaviest : 1.0;
    std::vector<Edge> edges;
    for (const SpacetimeEdge& e : graph.edges) {
        uint64_t mask = 0;
        for (uint8_t o : e.observables) mask ^= uint64_t{1} << o;
        const double w = e.weight;
        edges.push_back({e.u, e.v, w > 0.0 ? std::lround(w * scale) : 0, mask});
    }

    std::vector<uint8_t> defect(n, 0);
    for (uint32_t d : fired) {
        if (d < boundary) defect[d] ^= 1;
    }
    // Cluster labels, relabelled whole on every merge: slow and obviously right.
    std::vector<uint32_t> label(n);
    std::iota(label.begin(), label.end(), 0u);
    auto odd = [&](uint32_t c) {
        int count = 0;
        for (uint32_t v = 0; v < n; ++v) count += label[v] == c && defect[v];
        return count % 2 == 1;
    };
    auto has_boundary = [&](uint32_t c) { return label[boundary] == c; };
    auto grows = [&](uint32_t c) { return odd(c) && !has_boundary(c); };

    std::vector<int64_t> grown(edges.size(), 0);
    std::vector<uint8_t> joined(edges.size(), 0);
    ReferenceDecode result;
    for (;;) {
        std::vector<int> rate(edges.size(), 0);
        bool any = false;
        for (size_t e = 0; e < edges.size(); ++e) {
            const uint32_t cu = label[edges[e].u];
            const uint32_t cv = label[edges[e].v];
            if (joined[e] || cu == cv) continue;
            rate[e] = grows(cu) + grows(cv);
            any = any || rate[e] > 0;
        }
        if (!any) break;
        int64_t step = INT64_MAX;
        for (size_t e = 0; e < edges.size(); ++e) {
            if (rate[e] > 0)
                step = std::min(step, std::max<int64_t>(0, (edges[e].weight - grown[e] + rate[e] - 1) / rate[e]));
        }
        std::vector<size_t> full;
        for (size_t e = 0; e < edges.size(); ++e) {
            grown[e] += step * rate[e];
            if (rate[e] > 0 && grown[e] >= edges[e].weight) full.push_back(e);
        }
        for (size_t e : full) {
            joined[e] = 1;
            const uint32_t from = label[edges[e].v];
            const uint32_t to = label[edges[e].u];
            if (from == to) {
                result.forest = false;
                continue;
            }
            for (uint32_t& l : label) {
                if (l == from) l = to;
            }
        }
    }

    // Peel each tree from the leaves towards its anchor: the boundary, or
    // for a cluster left odd without it, its first fired detector in input
    // order; a leaf's edge is in the correction when its subtree is odd.
    std::vector<uint8_t> anchor(n, 0);
    anchor[boundary] = 1;
    std::set<uint32_t> anchored;
    for (uint32_t d : fired) {
        if (d >= boundary || !defect[d] || anchored.count(label[d]) || !odd(label[d]) || has_boundary(label[d]))
            continue;
        anchor[d] = 1;
        anchored.insert(label[d]);
    }
    std::vector<int> degree(n, 0);
    for (size_t e = 0; e < edges.size(); ++e) {
        if (joined[e]) degree[edges[e].u] += 1, degree[edges[e].v] += 1;
    }
    std::vector<uint8_t> used(edges.size(), 0);
    for (bool peeled = true; peeled;) {
        peeled = false;
        for (size_t e = 0; e < edges.size(); ++e) {
            if (!joined[e] || used[e]) continue;
            for (const auto& [leaf, other] : {std::pair{edges[e].u, edges[e].v}, std::pair{edges[e].v, edges[e].u}}) {
                if (degree[leaf] != 1 || anchor[leaf]) continue;
                used[e] = 1;
                degree[leaf] = 0;
                degree[other] -= 1;
                if (defect[leaf]) {
                    defect[leaf] = 0;
                    defect[other] ^= 1;
                    result.mask ^= edges[e].observables;
                    result.edges.insert(std::minmax(edges[e].u, edges[e].v));
                }
                peeled = true;
                break;
            }
        }
    }
    return result;
}

// Random graphs with few distinct probabilities, so that many edges fill at
// the same time, some parts without a boundary edge, and random syndromes
// (with repeated and out-of-range detectors): wherever the grown edges form
// a forest, the decoder must peel exactly the plain growth's correction.
// The observables come from a potential per node and every boundary edge
// reaches the same side, so that no choice of correction is left to
// matching. (Edges of weight 0 are left out: one fills the moment it is
// reached, and which of several edges full at the same moment joins first
// then decides the forest without the grown edges showing a cycle.)
TEST(UnionFindDecoder, GrowthMatchesAPlainStepByStepGrowth) {
    std::mt19937 rng(77);
    const double probabilities[] = {0.01, 0.02, 0.05, 0.1, 0.2, 0.02};
    size_t compared = 0;
    size_t decodes = 0;
    std::vector<uint32_t> correction;
    for (int trial = 0; trial < 300; ++trial) {
        const uint32_t detectors = 3 + rng() % 28;
        std::vector<uint8_t> potential(detectors);
        for (uint8_t& p : potential) p = static_cast<uint8_t>(rng() % 16);
        const uint8_t side = static_cast<uint8_t>(rng() % 16);
        std::set<std::pair<uint32_t, uint32_t>> seen;
        std::vector<Mechanism> mechanisms;
        const uint32_t edge_count = detectors + rng() % (2 * detectors);
        for (uint32_t i = 0; i < edge_count; ++i) {
            uint32_t u = rng() % detectors;
            uint32_t v = rng() % 4 == 0 ? detectors : rng() % detectors;
            if (u == v) continue;
            if (u > v) std::swap(u, v);
            if (!seen.insert({u, v}).second) continue;
            const double p = probabilities[rng() % std::size(probabilities)];
            const unsigned flips = potential[u] ^ (v == detectors ? side : potential[v]);
            std::vector<uint8_t> observables;
            for (uint8_t o = 0; o < 4; ++o) {
                if ((flips >> o) & 1) observables.push_back(o);
            }
            mechanisms.push_back({u, v == detectors ? kB : v, p, observables});
        }
        UnionFindDecoder decoder = decoder_of(detectors, mechanisms);
        for (int shot = 0; shot < 20; ++shot) {
            std::vector<uint32_t> fired;
            const uint32_t density = 2 + rng() % 5;
            for (uint32_t d = 0; d < detectors; ++d) {
                if (rng() % density == 0) fired.push_back(d);
            }
            if (!fired.empty() && rng() % 4 == 0) fired.push_back(fired[rng() % fired.size()]);
            if (rng() % 8 == 0) fired.push_back(detectors + rng() % 3);
            std::shuffle(fired.begin(), fired.end(), rng);
            const ReferenceDecode expected = reference_decode(detectors, mechanisms, fired);
            correction.clear();
            const uint64_t mask = decoder.decode_correction(fired, correction);
            ++decodes;
            if (!expected.forest) continue;
            ++compared;
            std::set<std::pair<uint32_t, uint32_t>> edges;
            for (uint32_t e : correction) {
                const auto edge = decoder.compact_edge(e);
                edges.insert(std::minmax(edge.u, edge.v));
            }
            ASSERT_EQ(edges, expected.edges) << "trial " << trial << " shot " << shot;
            ASSERT_EQ(mask, expected.mask) << "trial " << trial << " shot " << shot;
        }
    }
    // Most syndromes must have been compared, or the test proves little.
    EXPECT_GT(compared * 2, decodes) << compared << " of " << decodes;
}

// Random sparse graphs and syndromes: one decoder reused for every syndrome
// must answer as a fresh decoder does, so no state leaks between decodes.
TEST(UnionFindDecoder, ReusedDecoderAgreesWithFreshOnes) {
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 20; ++trial) {
        const uint32_t detectors = 5 + rng() % 40;
        std::vector<Mechanism> mechanisms;
        const uint32_t edge_count = detectors * 2;
        for (uint32_t i = 0; i < edge_count; ++i) {
            const uint32_t u = rng() % detectors;
            const uint32_t v = rng() % 5 == 0 ? kB : rng() % detectors;
            const double p = 0.001 + (rng() % 1000) / 4000.0;
            mechanisms.push_back({u, v, p, {static_cast<uint8_t>(rng() % 3)}});
        }
        auto graph = graph_of(detectors, mechanisms);
        UnionFindDecoder reused = *UnionFindDecoder::create(graph);
        for (int shot = 0; shot < 30; ++shot) {
            std::vector<uint32_t> fired;
            for (uint32_t d = 0; d < detectors; ++d) {
                if (rng() % 6 == 0) fired.push_back(d);
            }
            UnionFindDecoder fresh = *UnionFindDecoder::create(graph);
            ASSERT_EQ(reused.decode_detectors(fired), fresh.decode_detectors(fired))
                << "trial " << trial << " shot " << shot;
        }
    }
}

// A window cut from a longer shot has a second boundary node (its open side).
// Detectors 0..2, node 3 the real boundary, node 4 the open one. The
// correction lists the edges it is made of; a growing cluster that meets both
// boundaries in one unit of time is peeled to one of them, and the decoder is
// left at rest for the next syndrome.
TEST(UnionFindDecoder, SeveralBoundaryNodesAndTheCorrectionsEdges) {
    auto graph = std::make_shared<SpacetimeGraph>();
    for (uint32_t d = 0; d < 3; ++d) graph->nodes.push_back(SpacetimeNode{std::nullopt, d});
    graph->nodes.push_back(SpacetimeNode{std::nullopt, kBoundaryDetector});
    graph->nodes.push_back(SpacetimeNode{std::nullopt, kBoundaryDetector});
    graph->boundary = 3;
    const float w = -static_cast<float>(std::log(0.1 / 0.9));
    graph->edges = {
        SpacetimeEdge{{0}, 0, 3, w},     // 0: real boundary, flips L0
        SpacetimeEdge{{}, 0, 1, 2 * w},  // 1
        SpacetimeEdge{{}, 1, 2, 2 * w},  // 2
        SpacetimeEdge{{1}, 2, 4, w},     // 3: open side, flips L1
        SpacetimeEdge{{}, 1, 3, w},      // 4: detector 1 reaches both boundaries at once
        SpacetimeEdge{{2}, 1, 4, w},     // 5
        SpacetimeEdge{{}, 3, 4, w},      // between two boundary nodes: never used
    };
    UnionFindDecoder decoder = *UnionFindDecoder::create(graph);
    EXPECT_EQ(decoder.compact_edge_count(), 6u);
    std::vector<uint32_t> correction;
    struct Case {
        std::vector<uint32_t> fired;
        std::vector<std::pair<uint32_t, uint32_t>> ends;  // of the correction's edges
    };
    const std::vector<Case> cases = {
        {{0}, {{0, 3}}}, {{2}, {{2, 4}}}, {{0, 2}, {{0, 3}, {2, 4}}},
        {{1}, {}},  // one of (1, 3) and (1, 4), checked below
        {{0}, {{0, 3}}},
    };
    for (const Case& c : cases) {
        correction.clear();
        const uint64_t mask = decoder.decode_correction(c.fired, correction);
        uint64_t from_edges = 0;
        std::vector<std::pair<uint32_t, uint32_t>> ends;
        for (uint32_t e : correction) {
            const auto edge = decoder.compact_edge(e);
            from_edges ^= edge.observables;
            ends.emplace_back(edge.u, edge.v);
        }
        EXPECT_EQ(mask, from_edges);
        EXPECT_EQ(mask, decoder.decode_detectors(c.fired));
        if (c.fired == std::vector<uint32_t>{1}) {
            ASSERT_EQ(ends.size(), 1u);
            EXPECT_EQ(ends[0].first, 1u);
            EXPECT_GE(ends[0].second, 3u);
        } else {
            std::sort(ends.begin(), ends.end());
            EXPECT_EQ(ends, c.ends);
        }
    }
}

}  // namespace
}  // namespace veskar

namespace veskar {
namespace {

// Connected random graphs with boundary edges on two sides (observables from
// a potential, so that matching decides) or with observables at random (so
// that every group is matched), and dense random syndromes: the listed
// correction must explain the syndrome, list each edge once and flip exactly
// the mask returned, which is also decode_detectors' answer.
TEST(UnionFindDecoder, CorrectionsExplainTheSyndrome) {
    std::mt19937 rng(4242);
    std::vector<uint32_t> correction;
    for (int trial = 0; trial < 200; ++trial) {
        const uint32_t detectors = 4 + rng() % 40;
        const bool planar = trial % 2 == 0;
        std::vector<uint8_t> potential(detectors);
        for (uint8_t& p : potential) p = static_cast<uint8_t>(rng() % 4);
        std::vector<Mechanism> mechanisms;
        const auto add = [&](uint32_t u, uint32_t v) {
            const double p = 0.005 + (rng() % 100) / 400.0;
            const unsigned flips = !planar ? rng() % 4 : potential[u] ^ (v == kB ? rng() % 2 : potential[v]);
            std::vector<uint8_t> observables;
            for (uint8_t o = 0; o < 2; ++o) {
                if ((flips >> o) & 1) observables.push_back(o);
            }
            mechanisms.push_back({u, v, p, observables});
        };
        for (uint32_t x = 1; x < detectors; ++x) add(static_cast<uint32_t>(rng() % x), x);
        for (uint32_t i = 0; i < detectors; ++i) add(rng() % detectors, rng() % 3 == 0 ? kB : rng() % detectors);
        add(rng() % detectors, kB);
        UnionFindDecoder decoder = decoder_of(detectors, mechanisms);
        for (int shot = 0; shot < 30; ++shot) {
            std::vector<uint32_t> fired;
            std::vector<uint8_t> parity(detectors, 0);
            for (uint32_t d = 0; d < detectors; ++d) {
                if (rng() % 3 == 0) {
                    fired.push_back(d);
                    parity[d] ^= 1;
                }
            }
            correction.clear();
            const uint64_t mask = decoder.decode_correction(fired, correction);
            ASSERT_EQ(mask, decoder.decode_detectors(fired));
            std::set<uint32_t> listed(correction.begin(), correction.end());
            ASSERT_EQ(listed.size(), correction.size()) << "an edge listed twice";
            uint64_t flips = 0;
            for (uint32_t e : correction) {
                const auto edge = decoder.compact_edge(e);
                flips ^= edge.observables;
                if (edge.u < detectors) parity[edge.u] ^= 1;
                if (edge.v < detectors) parity[edge.v] ^= 1;
            }
            ASSERT_EQ(flips, mask) << "trial " << trial << " shot " << shot;
            for (uint32_t d = 0; d < detectors; ++d) ASSERT_EQ(parity[d], 0) << "trial " << trial << " detector " << d;
        }
    }
}

}  // namespace
}  // namespace veskar
