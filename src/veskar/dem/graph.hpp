#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "veskar/core/overloaded.hpp"
#include "veskar/dem/decompose.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {

inline constexpr uint64_t kBoundaryDetector = std::numeric_limits<uint64_t>::max();

struct SpacetimeNode {
    std::optional<DetectorCoords> coords;
    uint64_t detector = 0;  // the node's own index; kBoundaryDetector for the boundary
};

struct SpacetimeEdge {
    std::vector<uint8_t> observables;  // flipped when the edge is in the correction
    uint32_t u = 0;
    uint32_t v = 0;       // the boundary index for an edge to the boundary
    float weight = 0.0f;  // -ln(p / (1 - p)) in single precision
};

// Largest detector count a graph is built for. Nodes are dense (one per index
// up to the largest named) and endpoints are 32-bit, so a one-line model such
// as `error(0.1) D4000000000` would otherwise ask for hundreds of gigabytes.
inline constexpr uint64_t kMaxGraphDetectors = uint64_t{1} << 24;

// Why a model could not become a decoding graph.
namespace graph_error {

// More than kMaxGraphDetectors detectors.
struct TooManyDetectors {
    uint64_t detector_count;
};

}  // namespace graph_error

// Why try_from_dem refused a model: its size, or a hyperedge it cannot decompose.
using GraphError = std::variant<graph_error::TooManyDetectors, DecomposeError>;

std::string message(const GraphError& err);

// The decoding graph: one node per detector, then the boundary node.
//
// One edge per component of an error (the `^`-separated parts), to the
// boundary for a single detector. A component of more than two detectors (a
// hyperedge) is first decomposed into the model's own pairs and single
// detectors (decompose_hyperedges), never chained.
struct SpacetimeGraph {
    std::vector<SpacetimeNode> nodes;
    std::vector<SpacetimeEdge> edges;
    uint64_t boundary = 0;  // == the model's detector_count

    // For models known to be decomposable: an error whose hyperedge cannot be
    // decomposed makes no edge at all.
    static SpacetimeGraph from_dem(const DetectorErrorModel& model);

    // from_dem for models from outside: refuses detector counts above
    // kMaxGraphDetectors instead of exhausting memory, and models with a
    // hyperedge that cannot be decomposed.
    static std::expected<SpacetimeGraph, GraphError> try_from_dem(const DetectorErrorModel& model);

    uint64_t node_count() const { return nodes.size(); }
    uint64_t edge_count() const { return edges.size(); }

   private:
    static SpacetimeGraph build(const DetectorErrorModel& model, const Decomposition& decomposition);
};

}  // namespace veskar
