#include "veskar/decoder/window_graph.hpp"

#include <algorithm>
#include <bit>
#include <utility>

namespace veskar {

bool operator==(const WindowGraph& a, const WindowGraph& b) {
    const SpacetimeGraph& ga = *a.graph;
    const SpacetimeGraph& gb = *b.graph;
    if (ga.boundary != gb.boundary || ga.nodes.size() != gb.nodes.size() || a.open_detectors != b.open_detectors ||
        ga.edges.size() != gb.edges.size()) {
        return false;
    }
    for (size_t i = 0; i < ga.edges.size(); ++i) {
        const SpacetimeEdge& x = ga.edges[i];
        const SpacetimeEdge& y = gb.edges[i];
        // Bit for bit: two windows share a decoder only when it would decode
        // both exactly alike.
        if (x.u != y.u || x.v != y.v || std::bit_cast<uint32_t>(x.weight) != std::bit_cast<uint32_t>(y.weight) ||
            x.observables != y.observables) {
            return false;
        }
    }
    return true;
}

WindowCutter::WindowCutter(const SpacetimeGraph& shot, uint32_t ancilla_count)
    : shot_(shot), detector_count_(std::min(shot.boundary, shot.node_count())), ancilla_count_(ancilla_count) {
    const uint64_t frames = (detector_count_ + ancilla_count_ - 1) / ancilla_count_;
    // UINT64_MAX: the edge flips no detector of the shot (or names a node
    // the graph does not have), so no window holds it.
    auto lower_detector = [&](const SpacetimeEdge& edge) {
        if (edge.u >= shot.nodes.size() || edge.v >= shot.nodes.size()) return UINT64_MAX;
        return std::min(edge.u < detector_count_ ? uint64_t{edge.u} : UINT64_MAX,
                        edge.v < detector_count_ ? uint64_t{edge.v} : UINT64_MAX);
    };
    frame_start_.assign(frames + 1, 0);
    for (const SpacetimeEdge& edge : shot.edges) {
        const uint64_t d = lower_detector(edge);
        if (d != UINT64_MAX) ++frame_start_[d / ancilla_count_ + 1];
    }
    for (uint64_t f = 0; f < frames; ++f) frame_start_[f + 1] += frame_start_[f];
    frame_edges_.resize(frame_start_[frames]);
    std::vector<uint32_t> fill(frame_start_.begin(), frame_start_.end() - 1);
    for (size_t e = 0; e < shot.edges.size(); ++e) {
        const uint64_t d = lower_detector(shot.edges[e]);
        if (d != UINT64_MAX) frame_edges_[fill[d / ancilla_count_]++] = static_cast<uint32_t>(e);
    }
}

WindowGraph WindowCutter::cut(uint32_t first_frame, uint32_t end_frame) const {
    const uint64_t first = uint64_t{first_frame} * ancilla_count_;
    const uint64_t end = std::min(uint64_t{end_frame} * ancilla_count_, detector_count_);
    const auto n = static_cast<uint32_t>(end - first);

    // An edge belongs to the window when its lower detector does; the
    // shot's order is kept so that parallel edges merge alike in every
    // window and in the shot.
    std::vector<uint32_t> ids(frame_edges_.begin() + frame_start_[first_frame],
                              frame_edges_.begin() + frame_start_[end_frame]);
    std::sort(ids.begin(), ids.end());

    WindowGraph window;
    for (uint32_t e : ids) {
        for (uint64_t x : {uint64_t{shot_.edges[e].u}, uint64_t{shot_.edges[e].v}}) {
            if (x >= end && x < detector_count_) window.open_detectors.push_back(static_cast<uint32_t>(x - first));
        }
    }
    std::sort(window.open_detectors.begin(), window.open_detectors.end());
    window.open_detectors.erase(std::unique(window.open_detectors.begin(), window.open_detectors.end()),
                                window.open_detectors.end());

    auto node_of = [&](uint64_t x) -> uint32_t {
        if (x >= detector_count_) return n;
        if (x < end) return static_cast<uint32_t>(x - first);
        const auto at = std::lower_bound(window.open_detectors.begin(), window.open_detectors.end(), x - first);
        return n + 1 + static_cast<uint32_t>(at - window.open_detectors.begin());
    };

    auto graph = std::make_shared<SpacetimeGraph>();
    graph->boundary = n;
    graph->nodes.resize(size_t{n} + 1 + window.open_detectors.size());
    for (uint32_t i = 0; i < graph->nodes.size(); ++i) graph->nodes[i].detector = i < n ? i : kBoundaryDetector;
    graph->edges.reserve(ids.size());
    for (uint32_t e : ids) {
        const SpacetimeEdge& edge = shot_.edges[e];
        graph->edges.push_back(SpacetimeEdge{edge.observables, node_of(edge.u), node_of(edge.v), edge.weight});
    }
    window.graph = std::move(graph);
    return window;
}

}  // namespace veskar
