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
    const size_t m = decoder.edge_ends_.size();
    decoder.nodes_.reserve(n);
    for (uint32_t v = 0; v < n; ++v) decoder.nodes_.push_back(decoder.rest_state(v));
    decoder.edge_closed_.assign(m, 0);
    decoder.touched_nodes_.resize(n);
    decoder.closed_edges_.resize(m);
    int32_t heaviest = 0;
    for (const EdgeEnds& edge : decoder.edge_ends_) heaviest = std::max(heaviest, edge.weight);
    decoder.events_.resize(static_cast<uint32_t>(m), heaviest);
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
        edge_ends_.push_back(EdgeEnds{first.a, first.b, 0});
        edge_observables_.push_back(mask);
        weights.push_back(weight);
        i = j;
    }

    double heaviest = 0.0;
    for (double w : weights) heaviest = std::max(heaviest, w);
    const double scale = heaviest > 0.0 ? kWeightScale / heaviest : 1.0;
    for (size_t e = 0; e < weights.size(); ++e) {
        // An edge at least as likely as not (p >= 0.5) costs nothing to grow:
        // it joins as soon as a growing cluster reaches either end.
        const double w = weights[e];
        edge_ends_[e].weight = w > 0.0 ? static_cast<int32_t>(std::lround(w * scale)) : 0;
    }

    adjacency_start_.assign(size_t{node_count_} + 1, 0);
    for (const EdgeEnds& edge : edge_ends_) {
        ++adjacency_start_[edge.u + 1];
        ++adjacency_start_[edge.v + 1];
    }
    for (uint32_t v = 0; v < node_count_; ++v) adjacency_start_[v + 1] += adjacency_start_[v];
    adjacency_.resize(adjacency_start_[node_count_]);
    std::vector<uint32_t> fill(adjacency_start_.begin(), adjacency_start_.end() - 1);
    for (size_t e = 0; e < edge_ends_.size(); ++e) {
        const uint32_t u = edge_ends_[e].u;
        const uint32_t v = edge_ends_[e].v;
        adjacency_[fill[u]++] = Neighbour{v, static_cast<uint32_t>(e), edge_ends_[e].weight};
        adjacency_[fill[v]++] = Neighbour{u, static_cast<uint32_t>(e), edge_ends_[e].weight};
    }
    // Lightest first: a node fills its edges to untouched neighbours in this
    // order, so it needs only the first of them queued at a time.
    for (uint32_t v = 0; v < node_count_; ++v) {
        std::sort(adjacency_.begin() + adjacency_start_[v], adjacency_.begin() + adjacency_start_[v + 1],
                  [](const Neighbour& x, const Neighbour& y) {
                      return std::tie(x.weight, x.edge) < std::tie(y.weight, y.edge);
                  });
    }
}

UnionFindDecoder::NodeState UnionFindDecoder::rest_state(uint32_t node) const {
    const uint8_t is_boundary = node == boundary_ ? 1 : 0;
    return NodeState{
        .offset = 0,
        .base = 0,
        .parent = node,
        .size = 1,
        .member_head = node,
        .member_tail = node,
        .member_next = kNone,
        .cursor = kNone,
        .forest_edges = 0,
        .forest_degree = 0,
        .grows = 0,
        .odd = 0,
        .has_boundary = is_boundary,
        .fired = 0,
        .anchor = is_boundary,
        .touched = 0,
        .scanned = 0,
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

inline int64_t UnionFindDecoder::grown(uint32_t node, uint32_t root, int64_t now) const {
    const NodeState& r = nodes_[root];
    return (r.grows ? now : 0) - r.base - nodes_[node].offset;
}

void UnionFindDecoder::touch_node(uint32_t node) {
    if (nodes_[node].touched) return;
    nodes_[node].touched = 1;
    touched_nodes_[touched_node_count_++] = node;
}

inline void UnionFindDecoder::close_edge(uint32_t edge) {
    edge_closed_[edge] = 1;
    closed_edges_[closed_edge_count_++] = edge;
    events_.cancel(edge);
}

inline bool UnionFindDecoder::is_fresh(uint32_t node) const {
    return !nodes_[node].scanned;
}

void UnionFindDecoder::release_cursors(uint32_t edge, int64_t now) {
    for (const uint32_t end : {edge_ends_[edge].u, edge_ends_[edge].v}) {
        const uint32_t k = nodes_[end].cursor;
        if (k != kNone && adjacency_[k].edge == edge) advance_cursor(end, now);
    }
}

void UnionFindDecoder::advance_cursor(uint32_t node, int64_t now) {
    // The next edge to a fresh neighbour, lightest first, is the next of
    // this node's to fill on its own growth. A node whose cluster has
    // stopped queues it only when it is already full: the whole unit of time
    // fills every edge it covers, whatever merges happen in it; otherwise
    // the node is scanned afresh if its cluster ever grows again.
    NodeState& state = nodes_[node];
    const uint32_t from = state.cursor + 1;
    state.cursor = kNone;
    const uint32_t root = find(node);
    const int64_t grown_here = grown(node, root, now);
    const uint32_t end = adjacency_start_[node + 1];
    for (uint32_t k = from; k < end; ++k) {
        const Neighbour nb = adjacency_[k];
        if (edge_closed_[nb.edge] || !is_fresh(nb.node)) continue;
        const int64_t left = nb.weight - grown_here;
        if (nodes_[root].grows || left <= 0) {
            state.cursor = k;
            events_.schedule(nb.edge, now + (left > 0 ? left : 0));
        }
        return;
    }
}

uint64_t UnionFindDecoder::decode_detectors(std::span<const uint32_t> fired) {
    for (uint32_t d : fired) {
        if (d >= boundary_) continue;
        touch_node(d);
        nodes_[d].fired ^= 1;
    }
    // Every odd singleton grows from time 0, so all are marked before any
    // edge is scheduled: an edge between two of them fills from both ends.
    growing_count_ = 0;
    for (uint32_t d : fired) {
        if (d >= boundary_ || !nodes_[d].fired || nodes_[d].odd) continue;
        nodes_[d].odd = 1;
        nodes_[d].grows = 1;
        ++growing_count_;
    }
    for (uint32_t d : fired) {
        if (d < boundary_ && nodes_[d].odd) schedule_open_edges(d, d, 0);
    }

    // Growth stops once no cluster grows, but only after the unit of time in
    // which the last one stopped: every edge full by then still joins.
    while (!events_.empty()) {
        const int64_t before = events_.now();
        const uint32_t edge = events_.pop();
        if (growing_count_ == 0 && events_.now() != before) break;
        fill(edge, events_.now());
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

void UnionFindDecoder::schedule_open_edges(uint32_t root, uint32_t list_owner, int64_t now) {
    // Gives the open edges of list_owner's members their time to fill now
    // that `root`, their cluster, grows: every edge to a neighbour scanned
    // before (which has grown or grows, and whose own scan then saw this
    // member fresh), and per member only the lightest edge to a fresh
    // neighbour, the member's cursor. A fresh neighbour has never been
    // scanned, so has never grown: every cluster that starts to grow has
    // its members scanned. Members left with no open edge are unlinked for
    // good: edges only ever close.
    NodeState* const nodes = nodes_.data();
    const Neighbour* const adjacency = adjacency_.data();
    const uint32_t* const adjacency_start = adjacency_start_.data();
    const uint8_t* const closed = edge_closed_.data();
    NodeState& owner = nodes[list_owner];
    const int64_t root_growth = (nodes[root].grows ? now : 0) - nodes[root].base;
    uint32_t previous = kNone;
    uint32_t node = owner.member_head;
    while (node != kNone) {
        const uint32_t next = nodes[node].member_next;
        const int64_t grown_here = root_growth - nodes[node].offset;
        nodes[node].cursor = kNone;
        nodes[node].scanned = 1;
        uint32_t cursor = kNone;
        bool open = false;
        const uint32_t end = adjacency_start[node + 1];
        for (uint32_t k = adjacency_start[node]; k < end; ++k) {
            const Neighbour nb = adjacency[k];
            if (closed[nb.edge]) continue;
            if (is_fresh(nb.node)) {
                open = true;
                if (cursor == kNone) {
                    cursor = k;
                    const int64_t left = nb.weight - grown_here;
                    events_.schedule(nb.edge, now + (left > 0 ? left : 0));
                }
                continue;
            }
            const uint32_t other = find(nb.node);
            if (other == root) {
                close_edge(nb.edge);
                release_cursors(nb.edge, now);
                continue;
            }
            open = true;
            const NodeState& far = nodes[other];
            const int64_t grown_there = (far.grows ? now : 0) - far.base - nodes[nb.node].offset;
            const int64_t left = nb.weight - grown_here - grown_there;
            // One unit of time grows the edge by one from each growing end;
            // it fills at the first whole unit that covers what is left.
            const int64_t wait = (left + far.grows) >> far.grows;
            events_.schedule(nb.edge, now + (wait > 0 ? wait : 0));
        }
        nodes[node].cursor = cursor;
        if (open) {
            previous = node;
        } else {
            if (previous == kNone) {
                owner.member_head = next;
            } else {
                nodes[previous].member_next = next;
            }
            if (next == kNone) owner.member_tail = previous;
        }
        node = next;
    }
}

void UnionFindDecoder::fill(uint32_t edge, int64_t now) {
    const EdgeEnds ends = edge_ends_[edge];
    const uint32_t ru = find(ends.u);
    const uint32_t rv = find(ends.v);
    if (ru == rv) {
        close_edge(edge);
        release_cursors(edge, now);
        return;
    }
    // The edge came due under the growth of when it was scheduled; a
    // cluster that has stopped since makes it late, never early.
    const int64_t left = ends.weight - grown(ends.u, ru, now) - grown(ends.v, rv, now);
    if (left <= 0) {
        unite(edge, ru, rv, now);
        release_cursors(edge, now);
        return;
    }
    // With neither end growing the edge waits, off the queue, until a merge
    // makes one of them grow and schedules it again.
    const int rate = nodes_[ru].grows + nodes_[rv].grows;
    if (rate != 0) events_.schedule(edge, now + ((left + rate - 1) >> (rate - 1)));
}

void UnionFindDecoder::unite(uint32_t edge, uint32_t ru, uint32_t rv, int64_t now) {
    const uint32_t a = edge_ends_[edge].u;
    const uint32_t b = edge_ends_[edge].v;
    touch_node(a);
    touch_node(b);
    close_edge(edge);
    // The edges that join clusters form a spanning forest of the grown edges.
    nodes_[a].forest_edges ^= edge;
    ++nodes_[a].forest_degree;
    nodes_[b].forest_edges ^= edge;
    ++nodes_[b].forest_degree;

    const uint8_t u_grew = nodes_[ru].grows;
    const uint8_t v_grew = nodes_[rv].grows;
    uint32_t keep = ru;
    uint32_t gone = rv;
    if (nodes_[keep].size < nodes_[gone].size) std::swap(keep, gone);
    NodeState& kept = nodes_[keep];
    NodeState& absorbed = nodes_[gone];
    // Growth of the two clusters' roots now; each node's own growth is its
    // root's less its offset.
    const int64_t keep_growth = (kept.grows ? now : 0) - kept.base;
    const int64_t shift = keep_growth - ((absorbed.grows ? now : 0) - absorbed.base);
    if (shift != 0) {
        for (uint32_t node = absorbed.member_head; node != kNone; node = nodes_[node].member_next) {
            nodes_[node].offset += shift;
        }
    }
    absorbed.parent = keep;
    kept.size += absorbed.size;
    kept.odd ^= absorbed.odd;
    kept.has_boundary |= absorbed.has_boundary;
    kept.grows = kept.odd && !kept.has_boundary;
    kept.base = (kept.grows ? now : 0) - keep_growth;
    growing_count_ = growing_count_ - u_grew - v_grew + kept.grows;

    // The side that did not grow before starts to: its edges fill sooner.
    // The side that did keeps its times, and the edges of a cluster that
    // stops are found late when their time comes.
    if (kept.grows) schedule_open_edges(keep, u_grew ? rv : ru, now);

    if (kept.member_head == kNone) {
        kept.member_head = absorbed.member_head;
        kept.member_tail = absorbed.member_tail;
    } else if (absorbed.member_head != kNone) {
        nodes_[kept.member_tail].member_next = absorbed.member_head;
        kept.member_tail = absorbed.member_tail;
    }
}

uint64_t UnionFindDecoder::peel() {
    // Leaves first: a leaf's one forest edge is in the correction exactly
    // when the leaf still has a detector to match, which then moves to the
    // other end. Anchors (the boundary, best-effort leftovers) are never
    // peeled, so each tree ends at its anchor or, when it has none, at one
    // node whose count is then even. A node's last forest edge is the XOR of
    // the ids of its forest edges.
    leaves_.clear();
    for (uint32_t i = 0; i < touched_node_count_; ++i) {
        const uint32_t v = touched_nodes_[i];
        if (nodes_[v].forest_degree == 1 && !nodes_[v].anchor) leaves_.push_back(v);
    }
    uint64_t mask = 0;
    while (!leaves_.empty()) {
        const uint32_t v = leaves_.back();
        leaves_.pop_back();
        NodeState& leaf = nodes_[v];
        if (leaf.forest_degree != 1) continue;
        const uint32_t e = leaf.forest_edges;
        const uint32_t w = edge_ends_[e].u ^ edge_ends_[e].v ^ v;
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
    for (uint32_t i = 0; i < touched_node_count_; ++i) {
        const uint32_t v = touched_nodes_[i];
        nodes_[v] = rest_state(v);
    }
    touched_node_count_ = 0;
    for (uint32_t i = 0; i < closed_edge_count_; ++i) edge_closed_[closed_edges_[i]] = 0;
    closed_edge_count_ = 0;
    events_.clear();
}

DecoderResult UnionFindDecoder::decode_window(const SyndromeWindow& window) {
    if (window.empty()) return DecoderResult{};
    window.active_detectors(active_);
    if (active_.empty()) return DecoderResult{};
    return decoder_result(decode_detectors(active_), kConfidenceDecoded);
}

}  // namespace veskar
