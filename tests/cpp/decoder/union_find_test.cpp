#include "veskar/decoder/union_find.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
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

INSTANTIATE_TEST_SUITE_P(
    Syndromes, RepetitionLine,
    testing::Values(LineCase{"NextToTheObservableBoundary", {0}, 1}, LineCase{"NextToTheOtherBoundary", {3}, 0},
                    LineCase{"ClosePair", {1, 2}, 0}, LineCase{"PairAtTheObservableEnd", {0, 1}, 0},
                    LineCase{"BothEndsToTheirBoundaries", {0, 3}, 1}, LineCase{"ThreeDefects", {0, 2, 3}, 1},
                    LineCase{"AllFour", {0, 1, 2, 3}, 0}),
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

INSTANTIATE_TEST_SUITE_P(
    Weights, WeightedGrowth,
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

INSTANTIATE_TEST_SUITE_P(
    Syndromes, NoValidCorrection,
    testing::Values(UnmatchableCase{"LoneDefect", {1}, 0}, UnmatchableCase{"ThreeDefectsPairTheLastTwo", {0, 1, 2}, 2},
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
    EXPECT_TRUE(std::holds_alternative<decoder_error::NoGraph>(none.error()));

    auto wide = UnionFindDecoder::create(graph_of(2, {{0, 1, 0.1, {3}}, {1, kB, 0.1, {64, 2}}}));
    ASSERT_FALSE(wide.has_value());
    ASSERT_TRUE(std::holds_alternative<decoder_error::ObservableBeyondMask>(wide.error()));
    EXPECT_EQ(std::get<decoder_error::ObservableBeyondMask>(wide.error()).observable, 64u);
    EXPECT_EQ(message(wide.error()), "observable index 64 is beyond the decoder's limit of 64 observables (L0 to L63)");

    auto widest = UnionFindDecoder::create(graph_of(2, {{0, 1, 0.1, {7, 2}}, {1, kB, 0.1, {63}}}));
    ASSERT_TRUE(widest.has_value());
    EXPECT_EQ(widest->observable_count(), 64u);
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

}  // namespace
}  // namespace veskar
