#include "veskar/decoder/union_find.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <tuple>
#include <type_traits>
#include <utility>

namespace veskar {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// The heaviest edge grows in this many units; integer growth keeps the
// comparisons exact and the state small, and at this resolution rounding
// never reorders two edges whose probabilities differ meaningfully.
constexpr double kWeightScale = 1 << 16;

template <class>
inline constexpr bool kAlwaysFalse = false;

// Weight of two independent mechanisms on the same pair of nodes, each a
// log-likelihood ratio ln((1 - p) / p): the pair flips when exactly one of
// them fires, p = p1(1 - p2) + p2(1 - p1). Written without exp(±w) alone so
// that weights of very unlikely mechanisms do not overflow.
double merge_weights(double a, double b) {
    const double sign = std::copysign(1.0, a) * std::copysign(1.0, b);
    return sign * std::min(std::abs(a), std::abs(b)) + std::log1p(std::exp(-std::abs(a + b))) -
           std::log1p(std::exp(-std::abs(a - b)));
}

}  // namespace

std::string message(const DecoderError& err) {
    return std::visit(
        [](const auto& e) -> std::string {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, decoder_error::NoGraph>) {
                return "decoder needs a spacetime graph";
            } else if constexpr (std::is_same_v<E, decoder_error::TooManyNodes>) {
                return "spacetime graph has " + std::to_string(e.node_count) +
                       " nodes, more than 32-bit node indices can name";
            } else if constexpr (std::is_same_v<E, decoder_error::ObservableBeyondMask>) {
                return "observable index " + std::to_string(e.observable) +
                       " is beyond the decoder's limit of 64 observables (L0 to L63)";
            } else {
                static_assert(kAlwaysFalse<E>, "unhandled DecoderError variant");
            }
        },
        err);
}

DecoderResult decoder_result(uint64_t observable_flips, double confidence) {
    DecoderResult result;
    result.confidence = confidence;
    result.observable_flips = observable_flips;
    for (uint64_t rest = observable_flips; rest != 0; rest &= rest - 1) {
        result.corrections.push_back(
            LogicalCorrection{static_cast<uint8_t>(std::countr_zero(rest)), kCorrectionPauli});
    }
    return result;
}

uint32_t observable_count(const SpacetimeGraph& graph) {
    uint32_t count = 0;
    for (const SpacetimeEdge& edge : graph.edges) {
        for (uint8_t o : edge.observables) count = std::max(count, uint32_t{o} + 1);
    }
    return count;
}

std::expected<UnionFindDecoder, DecoderError> UnionFindDecoder::create(std::shared_ptr<const SpacetimeGraph> graph) {
    if (!graph) return std::unexpected(decoder_error::NoGraph{});
    // kNone must stay free to mark "no node".
    if (graph->node_count() >= kNone) return std::unexpected(decoder_error::TooManyNodes{graph->node_count()});
    const uint32_t observables = veskar::observable_count(*graph);
    if (observables > 64) return std::unexpected(decoder_error::ObservableBeyondMask{observables - 1});

    UnionFindDecoder decoder;
    decoder.node_count_ = static_cast<uint32_t>(graph->node_count());
    decoder.boundary_ = static_cast<uint32_t>(std::min<uint64_t>(graph->boundary, decoder.node_count_));
    decoder.observable_count_ = observables;
    decoder.graph_ = std::move(graph);
    decoder.build_compact_graph();

    const uint32_t n = decoder.node_count_;
    const size_t m = decoder.edges_.size();
    decoder.nodes_.reserve(n);
    for (uint32_t v = 0; v < n; ++v) decoder.nodes_.push_back(decoder.rest_state(v));
    decoder.touched_nodes_.reserve(n);
    decoder.touched_edges_.reserve(m);
    decoder.growing_.reserve(n);
    decoder.candidates_.reserve(m);
    decoder.completed_.reserve(m);
    decoder.leaves_.reserve(n);
    decoder.active_.reserve(n);
    return decoder;
}

void UnionFindDecoder::build_compact_graph() {
    struct Mechanism {
        uint32_t a;
        uint32_t b;
        uint32_t index;  // position in the graph's edge list, to keep merging deterministic
    };
    const std::vector<SpacetimeEdge>& edges = graph_->edges;
    std::vector<Mechanism> mechanisms;
    mechanisms.reserve(edges.size());
    for (size_t i = 0; i < edges.size(); ++i) {
        const SpacetimeEdge& edge = edges[i];
        const uint32_t u = edge.u;
        const uint32_t v = std::min(edge.v, boundary_);
        if (u >= node_count_ || v >= node_count_ || u == v) continue;
        if (!std::isfinite(edge.weight)) continue;
        mechanisms.push_back(Mechanism{std::min(u, v), std::max(u, v), static_cast<uint32_t>(i)});
    }
    std::sort(mechanisms.begin(), mechanisms.end(), [](const Mechanism& x, const Mechanism& y) {
        return std::tie(x.a, x.b, x.index) < std::tie(y.a, y.b, y.index);
    });

    auto mask_of = [&](uint32_t index) {
        uint64_t mask = 0;
        // A repeated observable flips twice, which is no flip.
        for (uint8_t o : edges[index].observables) mask ^= uint64_t{1} << o;
        return mask;
    };

    std::vector<double> weights;
    for (size_t i = 0; i < mechanisms.size();) {
        const Mechanism& first = mechanisms[i];
        double weight = edges[first.index].weight;
        double lightest = weight;
        uint64_t mask = mask_of(first.index);
        size_t j = i + 1;
        for (; j < mechanisms.size() && mechanisms[j].a == first.a && mechanisms[j].b == first.b; ++j) {
            const double w = edges[mechanisms[j].index].weight;
            weight = merge_weights(weight, w);
            // When the merged edge is in a correction, exactly one of its
            // mechanisms most likely fired, and the likeliest is the lightest.
            if (w < lightest) {
                lightest = w;
                mask = mask_of(mechanisms[j].index);
            }
        }
        edge_u_.push_back(first.a);
        edge_v_.push_back(first.b);
        edge_observables_.push_back(mask);
        weights.push_back(weight);
        i = j;
    }

    double heaviest = 0.0;
    for (double w : weights) heaviest = std::max(heaviest, w);
    const double scale = heaviest > 0.0 ? kWeightScale / heaviest : 1.0;
    edges_.reserve(weights.size());
    for (double w : weights) {
        // An edge at least as likely as not (p >= 0.5) costs nothing to grow.
        edges_.push_back(EdgeState{.weight = w > 0.0 ? static_cast<int32_t>(std::lround(w * scale)) : 0});
    }

    adjacency_start_.assign(size_t{node_count_} + 1, 0);
    for (size_t e = 0; e < edge_u_.size(); ++e) {
        ++adjacency_start_[edge_u_[e] + 1];
        ++adjacency_start_[edge_v_[e] + 1];
    }
    for (uint32_t v = 0; v < node_count_; ++v) adjacency_start_[v + 1] += adjacency_start_[v];
    adjacency_.resize(adjacency_start_[node_count_]);
    std::vector<uint32_t> fill(adjacency_start_.begin(), adjacency_start_.end() - 1);
    for (size_t e = 0; e < edge_u_.size(); ++e) {
        const uint32_t u = edge_u_[e];
        const uint32_t v = edge_v_[e];
        adjacency_[fill[u]++] = Neighbour{v, static_cast<uint32_t>(e)};
        adjacency_[fill[v]++] = Neighbour{u, static_cast<uint32_t>(e)};
    }
}

UnionFindDecoder::NodeState UnionFindDecoder::rest_state(uint32_t node) const {
    const uint8_t is_boundary = node == boundary_ ? 1 : 0;
    return NodeState{
        .parent = node,
        .size = 1,
        .frontier_head = node,
        .frontier_tail = node,
        .frontier_next = kNone,
        .forest_edges = 0,
        .forest_degree = 0,
        .odd = 0,
        .has_boundary = is_boundary,
        .fired = 0,
        .anchor = is_boundary,
        .listed = 0,
        .touched = 0,
    };
}

inline uint32_t UnionFindDecoder::find(uint32_t node) {
    while (nodes_[node].parent != node) {
        const uint32_t grandparent = nodes_[nodes_[node].parent].parent;
        nodes_[node].parent = grandparent;
        node = grandparent;
    }
    return node;
}

void UnionFindDecoder::touch_node(uint32_t node) {
    if (nodes_[node].touched) return;
    nodes_[node].touched = 1;
    touched_nodes_.push_back(node);
}

uint64_t UnionFindDecoder::decode_detectors(std::span<const uint32_t> fired) {
    for (uint32_t d : fired) {
        if (d >= boundary_) continue;
        touch_node(d);
        nodes_[d].fired ^= 1;
    }
    growing_.clear();
    for (uint32_t d : fired) {
        if (d >= boundary_ || !nodes_[d].fired || nodes_[d].odd) continue;
        nodes_[d].odd = 1;
        growing_.push_back(d);
    }

    while (!growing_.empty() && grow_step()) {
    }

    // Clusters still odd here cannot reach the boundary: keep their first
    // fired detector out of the peeling so that the others are paired.
    for (uint32_t d : fired) {
        if (d >= boundary_ || !nodes_[d].fired) continue;
        const uint32_t root = find(d);
        if (!nodes_[root].odd || nodes_[root].has_boundary) continue;
        nodes_[d].anchor = 1;
        nodes_[root].odd = 0;
    }

    const uint64_t mask = peel();
    reset();
    return mask;
}

bool UnionFindDecoder::grow_step() {
    // Every growing cluster adds one to the rate of each edge leaving it, so
    // an edge between two growing clusters fills from both ends. Frontier
    // nodes with nothing left to grow are dropped for good: edges only ever
    // fill and clusters only ever merge.
    candidates_.clear();
    for (uint32_t root : growing_) {
        uint32_t previous = kNone;
        uint32_t node = nodes_[root].frontier_head;
        while (node != kNone) {
            const uint32_t next = nodes_[node].frontier_next;
            bool open = false;
            for (uint32_t k = adjacency_start_[node]; k < adjacency_start_[node + 1]; ++k) {
                const Neighbour nb = adjacency_[k];
                EdgeState& edge = edges_[nb.edge];
                if (edge.grown >= edge.weight || find(nb.node) == root) continue;
                open = true;
                if (edge.rate == 0) {
                    candidates_.push_back(nb.edge);
                    if (!edge.touched) {
                        edge.touched = 1;
                        touched_edges_.push_back(nb.edge);
                    }
                }
                ++edge.rate;
            }
            if (open) {
                previous = node;
            } else {
                if (previous == kNone) {
                    nodes_[root].frontier_head = next;
                } else {
                    nodes_[previous].frontier_next = next;
                }
                if (next == kNone) nodes_[root].frontier_tail = previous;
            }
            node = next;
        }
    }
    if (candidates_.empty()) return false;

    // Advance to the moment the next edge fills; rounding up lets an edge
    // growing from both ends overshoot by at most one unit.
    int32_t step = std::numeric_limits<int32_t>::max();
    for (uint32_t e : candidates_) {
        const EdgeState& edge = edges_[e];
        step = std::min(step, (edge.weight - edge.grown + edge.rate - 1) / edge.rate);
    }
    completed_.clear();
    for (uint32_t e : candidates_) {
        EdgeState& edge = edges_[e];
        edge.grown += step * edge.rate;
        edge.rate = 0;
        if (edge.grown >= edge.weight) completed_.push_back(e);
    }
    for (uint32_t e : completed_) unite(e);

    // A merged cluster keeps growing only while it is still odd and away
    // from the boundary; each is listed once under its new root.
    size_t kept = 0;
    for (size_t i = 0; i < growing_.size(); ++i) {
        const uint32_t root = find(growing_[i]);
        NodeState& state = nodes_[root];
        if (!state.odd || state.has_boundary || state.listed) continue;
        state.listed = 1;
        growing_[kept++] = root;
    }
    growing_.resize(kept);
    for (uint32_t root : growing_) nodes_[root].listed = 0;
    return true;
}

void UnionFindDecoder::unite(uint32_t edge) {
    const uint32_t a = edge_u_[edge];
    const uint32_t b = edge_v_[edge];
    uint32_t ra = find(a);
    uint32_t rb = find(b);
    if (ra == rb) return;
    touch_node(a);
    touch_node(b);
    if (nodes_[ra].size < nodes_[rb].size) std::swap(ra, rb);
    NodeState& keep = nodes_[ra];
    NodeState& gone = nodes_[rb];
    gone.parent = ra;
    keep.size += gone.size;
    keep.odd ^= gone.odd;
    keep.has_boundary |= gone.has_boundary;
    if (keep.frontier_head == kNone) {
        keep.frontier_head = gone.frontier_head;
        keep.frontier_tail = gone.frontier_tail;
    } else if (gone.frontier_head != kNone) {
        nodes_[keep.frontier_tail].frontier_next = gone.frontier_head;
        keep.frontier_tail = gone.frontier_tail;
    }
    // The edges that join clusters form a spanning forest of the grown edges.
    nodes_[a].forest_edges ^= edge;
    ++nodes_[a].forest_degree;
    nodes_[b].forest_edges ^= edge;
    ++nodes_[b].forest_degree;
}

uint64_t UnionFindDecoder::peel() {
    // Leaves first: a leaf's one forest edge is in the correction exactly
    // when the leaf still has a detector to match, which then moves to the
    // other end. Anchors (the boundary, best-effort leftovers) are never
    // peeled, so each tree ends at its anchor or, when it has none, at one
    // node whose count is then even. A node's last forest edge is the XOR of
    // the ids of its forest edges.
    leaves_.clear();
    for (uint32_t v : touched_nodes_) {
        if (nodes_[v].forest_degree == 1 && !nodes_[v].anchor) leaves_.push_back(v);
    }
    uint64_t mask = 0;
    while (!leaves_.empty()) {
        const uint32_t v = leaves_.back();
        leaves_.pop_back();
        NodeState& leaf = nodes_[v];
        if (leaf.forest_degree != 1) continue;
        const uint32_t e = leaf.forest_edges;
        const uint32_t w = edge_u_[e] ^ edge_v_[e] ^ v;
        leaf.forest_degree = 0;
        leaf.forest_edges = 0;
        NodeState& other = nodes_[w];
        --other.forest_degree;
        other.forest_edges ^= e;
        if (leaf.fired) {
            leaf.fired = 0;
            other.fired ^= 1;
            mask ^= edge_observables_[e];
        }
        if (other.forest_degree == 1 && !other.anchor) leaves_.push_back(w);
    }
    return mask;
}

void UnionFindDecoder::reset() {
    for (uint32_t v : touched_nodes_) nodes_[v] = rest_state(v);
    touched_nodes_.clear();
    for (uint32_t e : touched_edges_) {
        edges_[e].grown = 0;
        edges_[e].rate = 0;
        edges_[e].touched = 0;
    }
    touched_edges_.clear();
}

DecoderResult UnionFindDecoder::decode_window(const SyndromeWindow& window) {
    if (window.empty()) return DecoderResult{};
    window.active_detectors(active_);
    if (active_.empty()) return DecoderResult{};
    return decoder_result(decode_detectors(active_), kConfidenceDecoded);
}

}  // namespace veskar
