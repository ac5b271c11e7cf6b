#include "veskar/dem/graph.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>
#include <vector>

namespace veskar {
namespace {

SpacetimeGraph graph_of(std::string_view text) {
    auto model = DetectorErrorModel::parse(text);
    EXPECT_TRUE(model.has_value()) << message(model.error());
    return SpacetimeGraph::from_dem(model.has_value() ? *model : DetectorErrorModel{});
}

constexpr uint32_t B = 0xFFFFFFFF;  // stands for "the boundary index" in expectations

struct EdgeView {
    uint32_t u;
    uint32_t v;
    std::vector<uint8_t> observables;
};

struct EdgeCase {
    const char* name;
    std::string text;
    std::vector<EdgeView> edges;
};

void PrintTo(const EdgeCase& c, std::ostream* os) {
    *os << c.name;
}

class GraphEdges : public testing::TestWithParam<EdgeCase> {};

TEST_P(GraphEdges, OnePerComponent) {
    const EdgeCase& c = GetParam();
    SpacetimeGraph graph = graph_of(c.text);
    ASSERT_EQ(graph.edges.size(), c.edges.size());
    const float weight = graph.edges.empty() ? 0.0f : graph.edges[0].weight;
    for (size_t i = 0; i < c.edges.size(); ++i) {
        SCOPED_TRACE(i);
        const uint32_t v = c.edges[i].v == B ? static_cast<uint32_t>(graph.boundary) : c.edges[i].v;
        EXPECT_EQ(graph.edges[i].u, c.edges[i].u);
        EXPECT_EQ(graph.edges[i].v, v);
        EXPECT_EQ(graph.edges[i].observables, c.edges[i].observables);
        EXPECT_EQ(graph.edges[i].weight, weight);  // all edges of one error share its weight
    }
}

INSTANTIATE_TEST_SUITE_P(
    Components, GraphEdges,
    testing::Values(
        EdgeCase{"BoundaryEdge", "error(0.1) D3", {{3, B, {}}}},
        EdgeCase{"PairInWrittenOrder", "error(0.1) D5 D2", {{5, 2, {}}}},
        EdgeCase{"SelfLoopKept", "error(0.1) D1 D1", {{1, 1, {}}}},
        // A hyperedge is split into pairs and single detectors the model has.
        EdgeCase{"HyperedgeSplitIntoKnownParts",
                 "error(0.1) D0 D1\nerror(0.1) D2\nerror(0.1) D2 D1 D0",
                 {{0, 1, {}}, {2, B, {}}, {0, 1, {}}, {2, B, {}}}},
        EdgeCase{"HyperedgePartsTakeTheirObservables",
                 "error(0.1) D0 D1 L0\nerror(0.1) D2 D3\nerror(0.1) D3 D2 D1 D0 L0",
                 {{0, 1, {0}}, {2, 3, {}}, {0, 1, {0}}, {2, 3, {}}}},
        // (0, 1) with 2 alone would flip nothing: the split that flips L0 wins.
        EdgeCase{"SplitChosenForItsObservables",
                 "error(0.1) D0 D1\nerror(0.1) D2\nerror(0.1) D0 D2 L0\nerror(0.1) D1\nerror(0.1) D0 D1 D2 L0",
                 {{0, 1, {}}, {2, B, {}}, {0, 2, {0}}, {1, B, {}}, {0, 2, {0}}, {1, B, {}}}},
        EdgeCase{"DetectorNamedTwiceCancels", "error(0.1) D4 D1 D4 L2", {{1, B, {2}}}},
        EdgeCase{"UndecomposableHyperedgeMakesNoEdge", "error(0.1) D0 D1\nerror(0.1) D0 D1 D2", {{0, 1, {}}}},
        EdgeCase{"TrailingObservableJoinsPrevious", "error(0.1) D0 D1 ^ L0", {{0, 1, {0}}}},
        EdgeCase{"LeadingObservableJoinsNext", "error(0.1) L0 ^ D2 D3", {{2, 3, {0}}}},
        EdgeCase{"ObservableBesideDetector", "error(0.1) D2 L0", {{2, B, {0}}}},
        EdgeCase{"StimDecomposition", "error(0.02) D2 L0 ^ D5 D6", {{2, B, {0}}, {5, 6, {}}}},
        EdgeCase{"ThreeSingletons", "error(0.1) D0 ^ D1 L1 ^ D2", {{0, B, {}}, {1, B, {1}}, {2, B, {}}}},
        EdgeCase{"HyperedgeThenSingleton",
                 "error(0.1) D0 D1\nerror(0.1) D2\nerror(0.1) D0 D1 D2 ^ D3",
                 {{0, 1, {}}, {2, B, {}}, {0, 1, {}}, {2, B, {}}, {3, B, {}}}},
        EdgeCase{"ObservablesGoToTheirNeighbour",
                 "error(0.1) L3 ^ D0 L1 ^ L2 ^ D4 ^ L5 ^ L6",
                 {{0, B, {3, 1, 2}}, {4, B, {5, 6}}}},
        EdgeCase{"ObservablesOnlyGiveNoEdge", "error(0.1) L0 ^ L1", {}},
        EdgeCase{"NoTargetsGiveNoEdge", "error(0.1)", {}},
        EdgeCase{"IdenticalLinesStayParallel", "error(0.1) D0 D1 L0\nerror(0.1) D0 D1 L0", {{0, 1, {0}}, {0, 1, {0}}}},
        EdgeCase{"UnusableProbabilitiesSkipped",
                 "error(0) D0\nerror(1) D0\nerror(-0.1) D0\nerror(1.5) D0\nerror(nan) D0\nerror(inf) D0\nerror(0.3) D1",
                 {{1, B, {}}}}),
    [](const testing::TestParamInfo<EdgeCase>& info) { return info.param.name; });

TEST(GraphWeight, NegatedLogOddsInSinglePrecision) {
    SpacetimeGraph graph = graph_of("error(0.1) D3\nerror(0.5) D0\nerror(0.9) D1\nerror(0.001931182734310662227) D2");
    ASSERT_EQ(graph.edges.size(), 4u);
    EXPECT_EQ(graph.edges[0].weight, 2.1972246f);
    EXPECT_EQ(graph.edges[1].weight, 0.0f);
    EXPECT_EQ(graph.edges[2].weight, -2.1972246f);
    const double p = 0.001931182734310662227;
    EXPECT_EQ(graph.edges[3].weight, static_cast<float>(-std::log(p / (1 - p))));
    EXPECT_EQ(graph.edges[0].u, 3u);
    EXPECT_EQ(graph.edges[0].v, 4u);
}

TEST(GraphNodes, NoDetectorsLeavesOnlyTheBoundary) {
    SpacetimeGraph graph = graph_of("");
    ASSERT_EQ(graph.node_count(), 1u);
    EXPECT_EQ(graph.boundary, 0u);
    EXPECT_EQ(graph.nodes[0].detector, kBoundaryDetector);
    EXPECT_FALSE(graph.nodes[0].coords.has_value());
    EXPECT_EQ(graph.edge_count(), 0u);
}

TEST(GraphNodes, CoordinatesFromTheFirstDeclaration) {
    SpacetimeGraph graph = graph_of("detector(1, 2, 0) D1\ndetector D3\ndetector(9) D3\ndetector(7) D1\nerror(0.1) D4");
    ASSERT_EQ(graph.node_count(), 6u);
    EXPECT_EQ(graph.boundary, 5u);
    for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(graph.nodes[i].detector, i);
    EXPECT_EQ(graph.nodes[5].detector, kBoundaryDetector);
    EXPECT_FALSE(graph.nodes[0].coords.has_value());
    ASSERT_TRUE(graph.nodes[1].coords.has_value());
    EXPECT_EQ(*graph.nodes[1].coords, (DetectorCoords{1, 2, 0}));
    EXPECT_FALSE(graph.nodes[3].coords.has_value());  // declared first without coordinates
    EXPECT_FALSE(graph.nodes[4].coords.has_value());
}

// A model assembled in code, as decoder tests do, may fill only the flat
// lists; the whole error then counts as one component, decomposed if need be.
TEST(GraphHandBuiltModel, FlatListsWithoutComponents) {
    DetectorErrorModel model;
    model.detector_count = 8;
    model.errors.push_back({{1, 5}, {0}, 0.1, {}});
    model.errors.push_back({{7, 2}, {}, 0.1, {}});
    model.errors.push_back({{1, 5, 2, 7}, {0}, 0.1, {}});
    model.errors.push_back({{6}, {1, 2}, 0.2, {}});
    model.detectors.push_back({DetectorCoords{1, 1, 1}, 6});
    model.detectors.push_back({std::nullopt, 6});
    model.detectors.push_back({DetectorCoords{5, 5, 5}, 99});  // beyond the model: ignored
    SpacetimeGraph graph = SpacetimeGraph::from_dem(model);
    ASSERT_EQ(graph.edges.size(), 5u);
    EXPECT_EQ(graph.edges[2].u, 1u);
    EXPECT_EQ(graph.edges[2].v, 5u);
    EXPECT_EQ(graph.edges[2].observables, (std::vector<uint8_t>{0}));
    EXPECT_EQ(graph.edges[3].u, 2u);
    EXPECT_EQ(graph.edges[3].v, 7u);
    EXPECT_TRUE(graph.edges[3].observables.empty());
    EXPECT_EQ(graph.edges[4].u, 6u);
    EXPECT_EQ(graph.edges[4].v, 8u);
    EXPECT_EQ(graph.edges[4].observables, (std::vector<uint8_t>{1, 2}));
    ASSERT_TRUE(graph.nodes[6].coords.has_value());
    EXPECT_EQ(*graph.nodes[6].coords, (DetectorCoords{1, 1, 1}));
}

struct RefusalCase {
    const char* name;
    std::string text;
    std::string message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class UndecomposableModel : public testing::TestWithParam<RefusalCase> {};

// A hyperedge that cannot be decomposed is never chained: try_from_dem
// names the error and says how to get a decomposed model.
TEST_P(UndecomposableModel, IsRefusedByName) {
    auto model = DetectorErrorModel::parse(GetParam().text);
    ASSERT_TRUE(model.has_value());
    auto graph = SpacetimeGraph::try_from_dem(*model);
    ASSERT_FALSE(graph.has_value());
    EXPECT_TRUE(std::holds_alternative<DecomposeError>(graph.error()));
    EXPECT_EQ(message(graph.error()), GetParam().message);
}

std::string seventeen_detectors() {
    std::string text = "error(0.25)";
    for (int d = 0; d < 17; ++d) text += " D" + std::to_string(d);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, UndecomposableModel,
    testing::Values(
        RefusalCase{"NoPartsAtAll", "error(0.1) D0 D1\nerror(0.003) D0 D1 D2 L0",
                    "cannot decompose error(0.003) D0 D1 D2 L0 (error 1 of the model): its detectors do not split "
                    "into pairs and single detectors that the model's graph-like errors have; generate the DEM with "
                    "decompose_errors=True"},
        // The parts exist, but none of them carries L1.
        RefusalCase{"ObservableNoPartCarries",
                    "error(0.1) D0 D1 L0\nerror(0.1) D2\nerror(0.2) D0 D1 ^ D5\nerror(0.5) D5 D2 D1 D0 L0 L1",
                    "cannot decompose error(0.5) D5 D2 D1 D0 L0 L1 (error 3 of the model): its detectors do not split "
                    "into pairs and single detectors that the model's graph-like errors have; generate the DEM with "
                    "decompose_errors=True"},
        RefusalCase{"TooManyDetectors", seventeen_detectors(),
                    "cannot decompose " + seventeen_detectors() +
                        " (error 0 of the model): a component of 17 detectors is more than the 16 a decomposition "
                        "is searched for; generate the DEM with decompose_errors=True"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

}  // namespace
}  // namespace veskar

namespace veskar {
namespace {

TEST(GraphLimit, OneFarDetectorIsRefusedNotAllocated) {
    for (const char* text : {"error(0.1) D4000000000", "detector D4294967295"}) {
        auto far = DetectorErrorModel::parse(text);
        ASSERT_TRUE(far);
        EXPECT_FALSE(SpacetimeGraph::try_from_dem(*far)) << text;
    }
    auto large = DetectorErrorModel::parse("error(0.1) D16777216");
    ASSERT_TRUE(large);
    auto refused = SpacetimeGraph::try_from_dem(*large);
    ASSERT_FALSE(refused);
    EXPECT_EQ(message(refused.error()),
              "detector error model has 16777217 detectors; decoding graphs are limited to 16777216");
    auto at_limit = DetectorErrorModel::parse("error(0.1) D3 D5");
    ASSERT_TRUE(at_limit);
    auto graph = SpacetimeGraph::try_from_dem(*at_limit);
    ASSERT_TRUE(graph);
    EXPECT_EQ(graph->node_count(), 7u);
}

}  // namespace
}  // namespace veskar
