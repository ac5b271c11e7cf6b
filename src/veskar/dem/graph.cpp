#include "veskar/dem/graph.hpp"

#include <cmath>
#include <span>

#include "veskar/core/overloaded.hpp"

namespace veskar {

namespace {

// Strictly inside (0, 1); NaN fails both comparisons.
bool usable_probability(double p) {
    return p > 0.0 && p < 1.0;
}

float edge_weight(double p) {
    return -static_cast<float>(std::log(p / (1.0 - p)));
}

// The edge of one component: a single detector pairs with the boundary.
// Components of more than two detectors never get here: they are decomposed.
void add_component_edge(std::span<const uint32_t> detectors, const std::vector<uint8_t>& observables, float weight,
                        uint32_t boundary, std::vector<SpacetimeEdge>& edges) {
    edges.push_back({observables, detectors[0], detectors.size() == 1 ? boundary : detectors[1], weight});
}

// Calls visit(detectors, observables) once per component that has detectors.
// A component with observables only has no edge of its own, so its
// observables go to the component before it, or after it when it comes
// first: `D0 D1 ^ L0` still flips L0 along (0, 1).
template <class Visit>
void for_each_component(std::span<const DemComponent> parts, std::vector<uint8_t>& scratch, Visit&& visit) {
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

// Calls visit(detectors, observables) for every component of every usable
// error, in model order, decomposed ones replaced by their parts.
template <class Visit>
void for_each_edge_component(const DetectorErrorModel& model, const Decomposition& decomposition, Visit&& visit) {
    std::vector<uint8_t> scratch;
    size_t next = 0;  // the next decomposed error
    for (size_t index = 0; index < model.errors.size(); ++index) {
        const DemError& error = model.errors[index];
        if (!usable_probability(error.probability)) continue;
        const float weight = edge_weight(error.probability);
        const auto each = [&](std::span<const uint32_t> detectors, const std::vector<uint8_t>& observables) {
            visit(detectors, observables, weight);
        };
        if (next < decomposition.errors.size() && decomposition.errors[next].error == index) {
            for_each_component(decomposition.errors[next++].components, scratch, each);
        } else if (!error.components.empty()) {
            for_each_component(error.components, scratch, each);
        } else if (!error.detectors.empty()) {
            // Errors assembled by hand may carry only the flat lists.
            const DemComponent whole{error.detectors, error.observables};
            for_each_component(std::span<const DemComponent>(&whole, 1), scratch, each);
        }
    }
}

}  // namespace

SpacetimeGraph SpacetimeGraph::build(const DetectorErrorModel& model, const Decomposition& decomposition) {
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

    size_t edge_total = 0;
    for_each_edge_component(model, decomposition,
                            [&](std::span<const uint32_t>, const std::vector<uint8_t>&, float) { ++edge_total; });
    graph.edges.reserve(edge_total);
    const auto boundary = static_cast<uint32_t>(count);
    for_each_edge_component(
        model, decomposition,
        [&](std::span<const uint32_t> detectors, const std::vector<uint8_t>& observables, float weight) {
            add_component_edge(detectors, observables, weight, boundary, graph.edges);
        });
    return graph;
}

SpacetimeGraph SpacetimeGraph::from_dem(const DetectorErrorModel& model) {
    return build(model, decompose_hyperedges(model));
}

std::string message(const GraphError& err) {
    return std::visit(Overloaded{
                          [](const graph_error::TooManyDetectors& e) {
                              return "detector error model has " + std::to_string(e.detector_count) +
                                     " detectors; decoding graphs are limited to " + std::to_string(kMaxGraphDetectors);
                          },
                          [](const DecomposeError& e) { return message(e); },
                      },
                      err);
}

std::expected<SpacetimeGraph, GraphError> SpacetimeGraph::try_from_dem(const DetectorErrorModel& model) {
    if (model.detector_count > kMaxGraphDetectors) {
        return std::unexpected(graph_error::TooManyDetectors{model.detector_count});
    }
    Decomposition decomposition = decompose_hyperedges(model);
    if (decomposition.failure) return std::unexpected(std::move(*decomposition.failure));
    return build(model, decomposition);
}

}  // namespace veskar
