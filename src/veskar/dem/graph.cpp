#include "veskar/dem/graph.hpp"

#include <cmath>
#include <span>

namespace veskar {

namespace {

// Strictly inside (0, 1); NaN fails both comparisons.
bool usable_probability(double p) {
    return p > 0.0 && p < 1.0;
}

float edge_weight(double p) {
    return -static_cast<float>(std::log(p / (1.0 - p)));
}

// Edges of one component: a single detector pairs with the boundary, more
// detectors form a chain in written order.
void add_component_edges(std::span<const uint32_t> detectors, const std::vector<uint8_t>& observables, float weight,
                         uint32_t boundary, std::vector<SpacetimeEdge>& edges) {
    if (detectors.size() == 1) {
        edges.push_back({observables, detectors[0], boundary, weight});
        return;
    }
    for (size_t k = 0; k + 1 < detectors.size(); ++k) {
        edges.push_back({observables, detectors[k], detectors[k + 1], weight});
    }
}

size_t component_edge_count(size_t detectors) {
    return detectors <= 1 ? detectors : detectors - 1;
}

// Calls visit(detectors, observables) once per component that has detectors.
// A component with observables only has no edge of its own, so its
// observables go to the component before it, or after it when it comes
// first: `D0 D1 ^ L0` still flips L0 along (0, 1).
template <class Visit>
void for_each_component(const DemError& error, std::vector<uint8_t>& scratch, Visit&& visit) {
    // Errors assembled by hand may carry only the flat lists.
    if (error.components.empty()) {
        if (!error.detectors.empty()) {
            scratch.assign(error.observables.begin(), error.observables.end());
            visit(std::span<const uint32_t>(error.detectors), scratch);
        }
        return;
    }
    const std::vector<DemComponent>& parts = error.components;
    size_t first = 0;
    while (first < parts.size() && parts[first].detectors.empty()) ++first;
    for (size_t c = first; c < parts.size();) {
        size_t next = c + 1;
        while (next < parts.size() && parts[next].detectors.empty()) ++next;
        scratch.clear();
        if (c == first) {
            for (size_t j = 0; j < first; ++j) {
                scratch.insert(scratch.end(), parts[j].observables.begin(), parts[j].observables.end());
            }
        }
        for (size_t j = c; j < next; ++j) {
            scratch.insert(scratch.end(), parts[j].observables.begin(), parts[j].observables.end());
        }
        visit(std::span<const uint32_t>(parts[c].detectors), scratch);
        c = next;
    }
}

}  // namespace

SpacetimeGraph SpacetimeGraph::from_dem(const DetectorErrorModel& model) {
    SpacetimeGraph graph;
    const uint64_t count = model.detector_count;
    graph.boundary = count;
    graph.nodes.resize(count + 1);
    for (uint64_t i = 0; i < count; ++i) graph.nodes[i].detector = i;
    graph.nodes[count].detector = kBoundaryDetector;

    // One pass over the declarations, indexed by id: the first declaration
    // of an id decides its node's coordinates, present or absent.
    std::vector<bool> claimed(count, false);
    for (const DetectorDecl& decl : model.detectors) {
        if (decl.id >= count || claimed[decl.id]) continue;
        claimed[decl.id] = true;
        graph.nodes[decl.id].coords = decl.coords;
    }

    std::vector<uint8_t> scratch;
    size_t edge_total = 0;
    for (const DemError& error : model.errors) {
        if (!usable_probability(error.probability)) continue;
        for_each_component(error, scratch, [&](std::span<const uint32_t> detectors, const std::vector<uint8_t>&) {
            edge_total += component_edge_count(detectors.size());
        });
    }
    graph.edges.reserve(edge_total);

    const auto boundary = static_cast<uint32_t>(count);
    for (const DemError& error : model.errors) {
        if (!usable_probability(error.probability)) continue;
        const float weight = edge_weight(error.probability);
        for_each_component(error, scratch,
                           [&](std::span<const uint32_t> detectors, const std::vector<uint8_t>& observables) {
                               add_component_edges(detectors, observables, weight, boundary, graph.edges);
                           });
    }
    return graph;
}

std::string message(const GraphError& err) {
    return std::visit(
        Overloaded{
            [](const graph_error::TooManyDetectors& e) {
                return "detector error model has " + std::to_string(e.detector_count) +
                       " detectors; decoding graphs are limited to " + std::to_string(kMaxGraphDetectors);
            },
        },
        err);
}

std::expected<SpacetimeGraph, GraphError> SpacetimeGraph::try_from_dem(const DetectorErrorModel& model) {
    if (model.detector_count > kMaxGraphDetectors) {
        return std::unexpected(graph_error::TooManyDetectors{model.detector_count});
    }
    return from_dem(model);
}

}  // namespace veskar
