// Real detector error models written by Stim 1.17 (tests/data/dem): they
// must parse to the figures Stim reports for them.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

std::string read_dem(const std::string& name) {
    std::ifstream file(std::string(VESKAR_TEST_DATA) + "/dem/" + name);
    EXPECT_TRUE(file.good()) << "missing test data " << name;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

DetectorErrorModel parse_file(const std::string& name) {
    auto model = DetectorErrorModel::parse(read_dem(name));
    EXPECT_TRUE(model.has_value()) << name << ": " << message(model.error());
    return model.has_value() ? std::move(*model) : DetectorErrorModel{};
}

// Figures from Stim itself: detector, observable and error counts, errors
// with a suggested decomposition, and the edges one edge per component
// (chains for longer components) gives.
struct FileCase {
    const char* file;
    uint64_t detectors;
    uint64_t observables;
    size_t errors;
    size_t decomposed_errors;
    size_t edges;
    size_t boundary_edges;
};

class DemFile : public testing::TestWithParam<FileCase> {};

TEST_P(DemFile, MatchesStimFigures) {
    const FileCase& c = GetParam();
    DetectorErrorModel model = parse_file(c.file);
    EXPECT_EQ(model.detector_count, c.detectors);
    EXPECT_EQ(model.observable_count, c.observables);
    EXPECT_EQ(model.errors.size(), c.errors);
    // Every detector of these models is declared, with coordinates.
    EXPECT_EQ(model.detectors.size(), c.detectors);
    for (const DetectorDecl& decl : model.detectors) EXPECT_TRUE(decl.coords.has_value()) << decl.id;

    size_t decomposed = 0;
    for (const DemError& e : model.errors) decomposed += e.components.size() > 1 ? 1 : 0;
    EXPECT_EQ(decomposed, c.decomposed_errors);

    SpacetimeGraph graph = SpacetimeGraph::from_dem(model);
    EXPECT_EQ(graph.node_count(), c.detectors + 1);
    EXPECT_EQ(graph.edge_count(), c.edges);
    size_t to_boundary = 0;
    for (const SpacetimeEdge& edge : graph.edges) to_boundary += edge.v == graph.boundary ? 1 : 0;
    EXPECT_EQ(to_boundary, c.boundary_edges);
}

INSTANTIATE_TEST_SUITE_P(StimOutput, DemFile,
                         testing::Values(FileCase{"repetition_d5_r5_p0001.dem", 24, 1, 75, 10, 85, 32},
                                         FileCase{"repetition_d5_r5_p003.dem", 24, 1, 75, 10, 85, 32},
                                         FileCase{"surface_d3_r3_p0005.dem", 24, 1, 286, 208, 556, 368},
                                         FileCase{"surface_d5_r5_p0001.dem", 120, 1, 1953, 1451, 3706, 1598},
                                         FileCase{"surface_d5_r5_p0005.dem", 120, 1, 1953, 1451, 3706, 1598},
                                         FileCase{"surface_d5_r25_p0001_folded.dem", 600, 1, 12258, 8733, 22493, 8118},
                                         FileCase{"surface_d5_r25_p0001_flat.dem", 600, 1, 12258, 8733, 22493, 8118}),
                         [](const testing::TestParamInfo<FileCase>& info) {
                             std::string name = info.param.file;
                             return name.substr(0, name.find('.'));
                         });

std::map<uint32_t, std::optional<DetectorCoords>> coords_by_id(const DetectorErrorModel& model) {
    std::map<uint32_t, std::optional<DetectorCoords>> out;
    for (const DetectorDecl& decl : model.detectors) out.emplace(decl.id, decl.coords);
    return out;
}

TEST(DemFileFolded, SameModelAsItsFlatTwin) {
    DetectorErrorModel folded = parse_file("surface_d5_r25_p0001_folded.dem");
    DetectorErrorModel flat = parse_file("surface_d5_r25_p0001_flat.dem");
    ASSERT_EQ(folded.errors.size(), flat.errors.size());
    for (size_t i = 0; i < flat.errors.size(); ++i) {
        const DemError& a = folded.errors[i];
        const DemError& b = flat.errors[i];
        ASSERT_EQ(a.detectors, b.detectors) << "error " << i;
        ASSERT_EQ(a.observables, b.observables) << "error " << i;
        ASSERT_EQ(a.probability, b.probability) << "error " << i;
        ASSERT_EQ(a.components.size(), b.components.size()) << "error " << i;
        for (size_t k = 0; k < a.components.size(); ++k) {
            ASSERT_EQ(a.components[k].detectors, b.components[k].detectors) << "error " << i;
            ASSERT_EQ(a.components[k].observables, b.components[k].observables) << "error " << i;
        }
    }
    EXPECT_EQ(folded.detector_count, flat.detector_count);
    EXPECT_EQ(folded.observable_count, flat.observable_count);
    EXPECT_EQ(coords_by_id(folded), coords_by_id(flat));

    SpacetimeGraph g1 = SpacetimeGraph::from_dem(folded);
    SpacetimeGraph g2 = SpacetimeGraph::from_dem(flat);
    ASSERT_EQ(g1.node_count(), g2.node_count());
    for (size_t i = 0; i < g1.nodes.size(); ++i) {
        ASSERT_EQ(g1.nodes[i].coords, g2.nodes[i].coords) << "node " << i;
        ASSERT_EQ(g1.nodes[i].detector, g2.nodes[i].detector) << "node " << i;
    }
    ASSERT_EQ(g1.edge_count(), g2.edge_count());
    for (size_t i = 0; i < g1.edges.size(); ++i) {
        ASSERT_EQ(g1.edges[i].u, g2.edges[i].u) << "edge " << i;
        ASSERT_EQ(g1.edges[i].v, g2.edges[i].v) << "edge " << i;
        ASSERT_EQ(g1.edges[i].weight, g2.edges[i].weight) << "edge " << i;
        ASSERT_EQ(g1.edges[i].observables, g2.edges[i].observables) << "edge " << i;
    }
}

// Coordinates Stim's own get_detector_coordinates() reports for the folded
// model, where every round's coordinates come from shift_detectors offsets.
struct CoordCase {
    const char* file;
    uint32_t detector;
    DetectorCoords coords;
};

class DemFileCoords : public testing::TestWithParam<CoordCase> {};

TEST_P(DemFileCoords, MatchStim) {
    DetectorErrorModel model = parse_file(GetParam().file);
    auto coords = coords_by_id(model);
    auto found = coords.find(GetParam().detector);
    ASSERT_NE(found, coords.end());
    ASSERT_TRUE(found->second.has_value());
    EXPECT_EQ(*found->second, GetParam().coords);
}

INSTANTIATE_TEST_SUITE_P(StimOutput, DemFileCoords,
                         testing::Values(CoordCase{"surface_d5_r25_p0001_folded.dem", 0, {0, 4, 0}},
                                         CoordCase{"surface_d5_r25_p0001_folded.dem", 12, {2, 0, 1}},
                                         CoordCase{"surface_d5_r25_p0001_folded.dem", 36, {2, 0, 2}},
                                         CoordCase{"surface_d5_r25_p0001_folded.dem", 300, {2, 0, 13}},
                                         CoordCase{"surface_d5_r25_p0001_folded.dem", 587, {8, 10, 24}},
                                         CoordCase{"surface_d5_r25_p0001_folded.dem", 599, {10, 6, 25}},
                                         // Two written coordinates: the offset's third value has nothing to move.
                                         CoordCase{"repetition_d5_r5_p0001.dem", 5, {3, 1, 0}},
                                         CoordCase{"repetition_d5_r5_p0001.dem", 23, {7, 5, 0}}));

}  // namespace
}  // namespace veskar
