#include "veskar/decoder/window_graph.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <unordered_map>
#include <utility>

namespace veskar {

namespace {

constexpr uint32_t kNoFrame = UINT32_MAX;
constexpr uint32_t kOutside = UINT32_MAX;
// The step of a frame not found alike with the frame `period` before it.
constexpr int64_t kNotAlike = INT64_MIN;

// An edge's frame is that of its lower detector; kNoFrame when it flips no
// detector of the shot (or names a node the graph does not have), so that no
// window holds it. It keeps copies of the sizes, which the loops over the
// shot's edges then hold in registers (their stores through uint32_t
// pointers might alias the cutter's members), and divides by the ancilla
// count with a multiplication: exact for every 32-bit dividend (Lemire,
// Kaser and Kurz, "Faster remainder by direct computation", 2019).
struct FrameOf {
    uint64_t nodes;
    uint64_t detectors;
    uint32_t ancillas;
    uint64_t inverse = ~uint64_t{0} / ancillas + 1;  // ceil(2^64 / ancillas); 0 for 1

    uint32_t operator()(const SpacetimeEdge& edge) const {
        const uint32_t lower = std::min(edge.u, edge.v);
        if (edge.u >= nodes || edge.v >= nodes || lower >= detectors) return kNoFrame;
        if (ancillas == 1) return lower;
        return static_cast<uint32_t>((static_cast<unsigned __int128>(inverse) * lower) >> 64);
    }
};

// Where an edge's end lies seen from the frame starting at detector `base`:
// its offset from there, or kOutside for the boundary.
uint32_t relative_end(uint32_t node, uint64_t base, uint64_t detectors) {
    return node < detectors ? static_cast<uint32_t>(node - base) : kOutside;
}

// Whether edge x, seen from the frame starting at detector base_x, is edge y
// seen from base_y. Bit for bit: two windows share a decoder only when it
// would decode both exactly alike.
bool same_edge(const SpacetimeEdge& x, uint64_t base_x, const SpacetimeEdge& y, uint64_t base_y, uint64_t detectors) {
    return relative_end(x.u, base_x, detectors) == relative_end(y.u, base_y, detectors) &&
           relative_end(x.v, base_x, detectors) == relative_end(y.v, base_y, detectors) &&
           std::bit_cast<uint32_t>(x.weight) == std::bit_cast<uint32_t>(y.weight) && x.observables == y.observables;
}

}  // namespace

bool operator==(const WindowGraph& a, const WindowGraph& b) {
    const SpacetimeGraph& ga = *a.graph;
    const SpacetimeGraph& gb = *b.graph;
    if (ga.boundary != gb.boundary || ga.nodes.size() != gb.nodes.size() || a.open_detectors != b.open_detectors ||
        ga.edges.size() != gb.edges.size()) {
        return false;
    }
    for (size_t i = 0; i < ga.edges.size(); ++i) {
        if (!same_edge(ga.edges[i], 0, gb.edges[i], 0, UINT64_MAX)) return false;
    }
    return true;
}

WindowCutter::WindowCutter(const SpacetimeGraph& shot, uint32_t ancilla_count)
    : shot_(shot), detector_count_(std::min(shot.boundary, shot.node_count())), ancilla_count_(ancilla_count) {
    const uint64_t frames = (detector_count_ + ancilla_count_ - 1) / ancilla_count_;
    const FrameOf frame_of{shot.node_count(), detector_count_, ancilla_count_};
    std::vector<uint32_t> start(frames + 1, 0);
    for (const SpacetimeEdge& edge : shot.edges) {
        const uint32_t f = frame_of(edge);
        if (f != kNoFrame) ++start[f + 1];
    }
    for (uint64_t f = 0; f < frames; ++f) start[f + 1] += start[f];

    // Each edge goes to its frame's list. As soon as a frame's list is
    // complete, it is compared with the frame `period` before, when that one
    // is complete too: the edges of both were read recently.
    const uint32_t period = likely_period(start);
    frame_start_ = std::move(start);
    frame_edges_.resize(frame_start_[frames]);
    std::vector<uint32_t> fill(frame_start_.begin(), frame_start_.end() - 1);
    std::vector<int64_t> step(frames, kNotAlike);
    for (size_t e = 0; e < shot.edges.size(); ++e) {
        const uint32_t f = frame_of(shot.edges[e]);
        if (f == kNoFrame) continue;
        frame_edges_[fill[f]++] = static_cast<uint32_t>(e);
        if (fill[f] != frame_start_[f + 1] || f < period || fill[f - period] != frame_start_[f - period + 1]) continue;
        int64_t shift = 0;
        if (same_frame(f - period, f, shift)) step[f] = shift;
    }
    sort_into_classes(period, step);
}

uint32_t WindowCutter::likely_period(const std::vector<uint32_t>& frame_start) {
    // The shortest distance between frames of equally many edges, over the
    // first few thousand frames. Only a guess, which makes the grouping pass
    // do the work when right; classes come out the same either way.
    constexpr uint32_t kLongest = 8;
    constexpr uint64_t kSampled = 4096;
    const uint64_t frames = frame_start.size() - 1;
    auto count = [&](uint64_t f) { return frame_start[f + 1] - frame_start[f]; };
    uint32_t best = 1;
    uint64_t best_score = 0;
    for (uint32_t p = 1; p <= kLongest && p < frames; ++p) {
        uint64_t score = 0;
        for (uint64_t f = p; f < std::min(frames, p + kSampled); ++f) score += count(f) == count(f - p);
        if (score > best_score) {
            best = p;
            best_score = score;
        }
    }
    return best;
}

void WindowCutter::sort_into_classes(uint32_t period, const std::vector<int64_t>& step) {
    const auto frames = static_cast<uint32_t>(frame_start_.size() - 1);
    frame_class_.resize(frames);
    frame_shift_.resize(frames);
    // Hash -> the classes of that hash, chained through next_of_hash.
    std::unordered_map<uint64_t, uint32_t> first_of_hash;
    std::vector<uint32_t> next_of_hash;
    for (uint32_t f = 0; f < frames; ++f) {
        if (step[f] != kNotAlike) {
            frame_class_[f] = frame_class_[f - period];
            frame_shift_[f] = frame_shift_[f - period] + step[f];
            continue;
        }
        // Not like the frame `period` before: one of the classes met so far
        // with the same hash, compared in full, or a class of its own.
        uint32_t* link = &first_of_hash.try_emplace(frame_hash(f), kNoFrame).first->second;
        while (*link != kNoFrame && !same_frame(class_first_frame_[*link], f, frame_shift_[f])) {
            link = &next_of_hash[*link];
        }
        uint32_t c = *link;
        if (c == kNoFrame) {
            c = static_cast<uint32_t>(class_first_frame_.size());
            *link = c;  // before next_of_hash grows: `link` may point into it
            class_first_frame_.push_back(f);
            next_of_hash.push_back(kNoFrame);
            frame_shift_[f] = 0;
        }
        frame_class_[f] = c;
    }
}

bool WindowCutter::same_frame(uint32_t f, uint32_t g, int64_t& shift) const {
    const uint32_t count = frame_start_[f + 1] - frame_start_[f];
    if (frame_start_[g + 1] - frame_start_[g] != count) return false;
    const uint32_t* ids_f = frame_edges_.data() + frame_start_[f];
    const uint32_t* ids_g = frame_edges_.data() + frame_start_[g];
    shift = count == 0 ? 0 : int64_t{ids_g[0]} - int64_t{ids_f[0]};
    for (uint32_t i = 0; i < count; ++i) {
        if (int64_t{ids_g[i]} - int64_t{ids_f[i]} != shift ||
            !same_edge(shot_.edges[ids_f[i]], uint64_t{f} * ancilla_count_, shot_.edges[ids_g[i]],
                       uint64_t{g} * ancilla_count_, detector_count_)) {
            return false;
        }
    }
    return true;
}

uint64_t WindowCutter::frame_hash(uint32_t f) const {
    const uint64_t base = uint64_t{f} * ancilla_count_;
    uint64_t hash = frame_start_[f + 1] - frame_start_[f];
    for (uint32_t i = frame_start_[f]; i < frame_start_[f + 1]; ++i) {
        const SpacetimeEdge& edge = shot_.edges[frame_edges_[i]];
        uint64_t word = (uint64_t{relative_end(edge.u, base, detector_count_)} << 32 |
                         relative_end(edge.v, base, detector_count_)) *
                            0x9e3779b97f4a7c15ULL ^
                        std::bit_cast<uint32_t>(edge.weight);
        for (uint8_t o : edge.observables) word = (word ^ o) * 0xc2b2ae3d27d4eb4fULL;
        hash = (hash ^ word) * 0xff51afd7ed558ccdULL;
        hash ^= hash >> 32;
    }
    return hash;
}

uint64_t WindowCutter::window_key(uint32_t first_frame, uint32_t end_frame) const {
    uint64_t key = end_frame - first_frame;
    for (uint32_t f = first_frame; f < end_frame; ++f) key = (key ^ frame_class_[f]) * 0xff51afd7ed558ccdULL;
    return key ^ (key >> 32);
}

bool WindowCutter::same_window(uint32_t a, uint32_t b, uint32_t length) const {
    if (a == b) return true;
    // Past detector D - 1 a window's size depends on where it ends.
    if ((uint64_t{std::max(a, b)} + length) * ancilla_count_ > detector_count_) return false;
    // Frames of one class hold equally many edges; those without any have
    // no shift to keep.
    std::optional<int64_t> shift;
    for (uint32_t k = 0; k < length; ++k) {
        if (frame_class_[a + k] != frame_class_[b + k]) return false;
        if (frame_start_[a + k + 1] == frame_start_[a + k]) continue;
        const int64_t s = frame_shift_[b + k] - frame_shift_[a + k];
        if (shift && *shift != s) return false;
        shift = s;
    }
    return true;
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
