#include "veskar/decoder/union_find.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <queue>
#include <tuple>
#include <utility>

#include "veskar/core/overloaded.hpp"
#include "veskar/core/prefetch.hpp"

namespace veskar {

namespace {

constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

// Bit i set when bit 0 of bytes[nodes[i]] is, for i < count <= 64: a node's
// neighbours read as a mask, each independently of the others and without
// a branch per neighbour, whose outcome is data no predictor learns.
[[gnu::always_inline]] inline uint64_t low_bits_at(const uint32_t* nodes, uint32_t count, const uint8_t* bytes) {
    uint64_t mask = 0;
    for (uint32_t i = 0; i < count; ++i) mask |= uint64_t{bytes[nodes[i]] & 1u} << i;
    return mask;
}

// The heaviest edge grows in this many units; integer growth keeps the
// comparisons exact and the state small, and at this resolution rounding
// never reorders two edges whose probabilities differ meaningfully.
constexpr double kWeightScale = 1 << 16;

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
    return std::visit(Overloaded{
                          [](const decoder_error::NoGraph&) { return std::string("decoder needs a spacetime graph"); },
                          [](const decoder_error::TooManyNodes& e) {
                              return "spacetime graph has " + std::to_string(e.node_count) +
                                     " nodes, more than 32-bit node indices can name";
                          },
                          [](const decoder_error::ObservableBeyondMask& e) {
                              return "observable index " + std::to_string(e.observable) +
                                     " is beyond the decoder's limit of 64 observables (L0 to L63)";
                          },
                      },
                      err);
}

DecoderResult decoder_result(uint64_t observable_flips, double confidence) {
    DecoderResult result;
    result.confidence = confidence;
    result.observable_flips = observable_flips;
    for (uint64_t rest = observable_flips; rest != 0; rest &= rest - 1) {
        result.corrections.push_back(LogicalCorrection{static_cast<uint8_t>(std::countr_zero(rest)), kCorrectionPauli});
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
    decoder.find_boundary_sides();

    const uint32_t n = decoder.node_count_;
    const size_t m = decoder.edge_ends_.size();
    decoder.node_.assign(n, NodeState{});
    decoder.flags_.resize(n);
    decoder.scanned_.assign(n, 0);
    for (uint32_t v = 0; v < n; ++v) {
        decoder.node_[v].root = v;
        decoder.flags_[v] = v >= decoder.boundary_ ? kAnchor : 0;
        decoder.node_[v].cluster = decoder.rest_cluster(v);
    }
    decoder.touched_nodes_.resize(n);
    int32_t heaviest = 0;
    for (const EdgeEnds& edge : decoder.edge_ends_) heaviest = std::max(heaviest, edge.weight);
    decoder.events_.resize(static_cast<uint32_t>(m), heaviest);
    decoder.leaves_.resize(size_t{n} + 1);  // + 1: peeling writes one past its last leaf
    decoder.active_.reserve(n);
    decoder.group_parent_.resize(n);
    decoder.group_sides_.resize(n);
    decoder.group_head_.resize(n);
    decoder.group_next_.resize(n);
    decoder.group_kept_.resize(n);
    decoder.unscanned_.resize(n);
    decoder.grown_edges_.resize(m + 1);  // + 1: scans write one past the last edge listed
    decoder.matcher_ = ClusterMatcher(n, static_cast<uint32_t>(decoder.neighbour_node_.size()),
                                      static_cast<uint32_t>(m), std::min(kMatchedDetectors, decoder.boundary_));
    return decoder;
}

void UnionFindDecoder::find_boundary_sides() {
    // Potentials along a spanning forest of the graph without its boundary
    // nodes; an edge that disagrees with them closes a cycle that flips an
    // observable.
    std::vector<uint64_t> potential(node_count_, 0);
    std::vector<uint8_t> seen(node_count_, 0);
    std::vector<uint32_t> stack;
    for (uint32_t start = 0; start < boundary_; ++start) {
        if (seen[start]) continue;
        seen[start] = 1;
        stack.push_back(start);
        while (!stack.empty()) {
            const uint32_t x = stack.back();
            stack.pop_back();
            for (uint32_t k = adjacency_start_[x]; k < adjacency_start_[x + 1]; ++k) {
                const uint32_t y = neighbour_node_[k];
                if (y >= boundary_) continue;
                const uint64_t expected = potential[x] ^ edge_observables_[neighbour_edge_[k]];
                if (!seen[y]) {
                    seen[y] = 1;
                    potential[y] = expected;
                    stack.push_back(y);
                } else if (potential[y] != expected) {
                    match_every_group_ = true;
                }
            }
        }
    }
    // A side is what a way out flips, not which boundary node it takes: a
    // window's open side and its real boundary are one side where their
    // observables agree, so a group reaching both has nothing to choose.
    std::map<uint64_t, uint32_t> sides;
    boundary_side_.assign(node_count_, kNoSide);
    exit_distance_.assign(node_count_, std::numeric_limits<int64_t>::max());
    exit_edge_.assign(node_count_, kNone);
    exit_next_.assign(node_count_, kNone);
    for (uint32_t x = 0; x < boundary_; ++x) {
        for (uint32_t k = adjacency_start_[x]; k < adjacency_start_[x + 1]; ++k) {
            const uint32_t y = neighbour_node_[k];
            if (y < boundary_) continue;
            const uint64_t key = potential[x] ^ edge_observables_[neighbour_edge_[k]];
            const uint32_t side = sides.emplace(key, static_cast<uint32_t>(sides.size())).first->second;
            uint32_t& mine = boundary_side_[x];
            mine = mine == kNoSide || mine == side ? side : kSides;
            // A node's own lightest boundary edge starts its way out.
            if (neighbour_weight_[k] < exit_distance_[x]) {
                exit_distance_[x] = neighbour_weight_[k];
                exit_edge_[x] = neighbour_edge_[k];
                exit_next_[x] = y;
            }
        }
    }
    find_exits();
}

void UnionFindDecoder::find_exits() {
    // Every node's shortest way to a boundary node, by one search from all
    // boundary edges at once.
    using Entry = std::pair<int64_t, uint32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    for (uint32_t x = 0; x < boundary_; ++x) {
        if (exit_edge_[x] != kNone) queue.emplace(exit_distance_[x], x);
    }
    while (!queue.empty()) {
        const auto [distance, x] = queue.top();
        queue.pop();
        if (distance > exit_distance_[x]) continue;
        for (uint32_t k = adjacency_start_[x]; k < adjacency_start_[x + 1]; ++k) {
            const uint32_t y = neighbour_node_[k];
            const int64_t reach = distance + neighbour_weight_[k];
            if (y >= boundary_ || reach >= exit_distance_[y]) continue;
            exit_distance_[y] = reach;
            exit_edge_[y] = neighbour_edge_[k];
            exit_next_[y] = x;
            queue.emplace(reach, y);
        }
    }
    every_node_exits_ = std::all_of(exit_distance_.begin(), exit_distance_.begin() + boundary_,
                                    [](int64_t d) { return d != std::numeric_limits<int64_t>::max(); });
}

AdjacencyView UnionFindDecoder::adjacency() const {
    return AdjacencyView{adjacency_start_, neighbour_node_, neighbour_edge_, neighbour_weight_,
                         exit_distance_,   exit_edge_,      exit_next_,      boundary_};
}

void UnionFindDecoder::build_compact_graph() {
    set_integer_weights(merge_parallel_edges());
    build_adjacency();
}

namespace {

// A mechanism of the graph that can flip a detector: its two ends in order
// and its position in the graph's edge list.
struct Mechanism {
    uint32_t a;
    uint32_t b;
    uint32_t index;  // keeps merging deterministic
};

// The graph's mechanisms that decoding can use, sorted so that parallel
// ones sit together in the order the graph lists them.
std::vector<Mechanism> usable_mechanisms(const std::vector<SpacetimeEdge>& edges, uint32_t node_count,
                                         uint32_t boundary) {
    std::vector<Mechanism> mechanisms;
    mechanisms.reserve(edges.size());
    for (size_t i = 0; i < edges.size(); ++i) {
        const SpacetimeEdge& edge = edges[i];
        const uint32_t u = edge.u;
        const uint32_t v = edge.v;
        if (u >= node_count || v >= node_count || u == v) continue;
        if (u >= boundary && v >= boundary) continue;
        if (!std::isfinite(edge.weight)) continue;
        mechanisms.push_back(Mechanism{std::min(u, v), std::max(u, v), static_cast<uint32_t>(i)});
    }
    std::sort(mechanisms.begin(), mechanisms.end(), [](const Mechanism& x, const Mechanism& y) {
        return std::tie(x.a, x.b, x.index) < std::tie(y.a, y.b, y.index);
    });
    return mechanisms;
}

uint64_t observable_mask(const SpacetimeEdge& edge) {
    uint64_t mask = 0;
    // A repeated observable flips twice, which is no flip.
    for (uint8_t o : edge.observables) mask ^= uint64_t{1} << o;
    return mask;
}

}  // namespace

std::vector<double> UnionFindDecoder::merge_parallel_edges() {
    const std::vector<SpacetimeEdge>& edges = graph_->edges;
    const std::vector<Mechanism> mechanisms = usable_mechanisms(edges, node_count_, boundary_);
    std::vector<double> weights;
    for (size_t i = 0; i < mechanisms.size();) {
        const Mechanism& first = mechanisms[i];
        double weight = edges[first.index].weight;
        double lightest = weight;
        uint64_t mask = observable_mask(edges[first.index]);
        size_t j = i + 1;
        for (; j < mechanisms.size() && mechanisms[j].a == first.a && mechanisms[j].b == first.b; ++j) {
            const double w = edges[mechanisms[j].index].weight;
            weight = merge_weights(weight, w);
            // When the merged edge is in a correction, exactly one of its
            // mechanisms most likely fired, and the likeliest is the lightest.
            if (w < lightest) {
                lightest = w;
                mask = observable_mask(edges[mechanisms[j].index]);
            }
        }
        edge_ends_.push_back(EdgeEnds{first.a, first.b, 0});
        edge_observables_.push_back(mask);
        weights.push_back(weight);
        i = j;
    }
    return weights;
}

void UnionFindDecoder::set_integer_weights(const std::vector<double>& weights) {
    double heaviest = 0.0;
    for (double w : weights) heaviest = std::max(heaviest, w);
    const double scale = heaviest > 0.0 ? kWeightScale / heaviest : 1.0;
    for (size_t e = 0; e < weights.size(); ++e) {
        // An edge at least as likely as not (p >= 0.5) costs nothing to grow:
        // it joins as soon as a growing cluster reaches either end.
        const double w = weights[e];
        edge_ends_[e].weight = w > 0.0 ? static_cast<int32_t>(std::lround(w * scale)) : 0;
    }
}

void UnionFindDecoder::build_adjacency() {
    adjacency_start_.assign(size_t{node_count_} + 1, 0);
    for (const EdgeEnds& edge : edge_ends_) {
        ++adjacency_start_[edge.u + 1];
        ++adjacency_start_[edge.v + 1];
    }
    for (uint32_t v = 0; v < node_count_; ++v) adjacency_start_[v + 1] += adjacency_start_[v];
    struct Neighbour {
        uint32_t node;
        uint32_t edge;
        int32_t weight;
    };
    std::vector<Neighbour> adjacency(adjacency_start_[node_count_]);
    std::vector<uint32_t> fill(adjacency_start_.begin(), adjacency_start_.end() - 1);
    for (size_t e = 0; e < edge_ends_.size(); ++e) {
        const uint32_t u = edge_ends_[e].u;
        const uint32_t v = edge_ends_[e].v;
        adjacency[fill[u]++] = Neighbour{v, static_cast<uint32_t>(e), edge_ends_[e].weight};
        adjacency[fill[v]++] = Neighbour{u, static_cast<uint32_t>(e), edge_ends_[e].weight};
    }
    // Lightest first: a node fills its edges to neighbours that have never
    // grown in this order, so it needs only the first of them queued at a time.
    for (uint32_t v = 0; v < node_count_; ++v) {
        std::sort(adjacency.begin() + adjacency_start_[v], adjacency.begin() + adjacency_start_[v + 1],
                  [](const Neighbour& x, const Neighbour& y) {
                      return std::tie(x.weight, x.edge) < std::tie(y.weight, y.edge);
                  });
    }
    for (const Neighbour& nb : adjacency) {
        neighbour_node_.push_back(nb.node);
        neighbour_edge_.push_back(nb.edge);
        neighbour_weight_.push_back(nb.weight);
    }
}

UnionFindDecoder::Cluster UnionFindDecoder::rest_cluster(uint32_t node) const {
    const uint8_t is_boundary = node >= boundary_ ? 1 : 0;
    return Cluster{
        .base = 0,
        .size = 1,
        .member_head = node,
        .member_tail = node,
        .odd = 0,
        .has_boundary = is_boundary,
        .grows = 0,
        .kept = 0,
        .sides = boundary_side_[node],
    };
}

inline uint32_t UnionFindDecoder::find(uint32_t node) const {
    return node_[node].root;
}

inline int64_t UnionFindDecoder::growth(uint32_t root, int64_t now) const {
    const Cluster& cluster = node_[root].cluster;
    return (cluster.grows ? now : 0) - cluster.base;
}

inline void UnionFindDecoder::touch_node(uint32_t node) {
    if (flags_[node] & kTouched) return;
    flags_[node] |= kTouched;
    // Still a cluster of its own.
    node_[node].cluster.kept = node < kept_nodes_;
    reached_sides_ = add_side(reached_sides_, boundary_side_[node]);
    touched_nodes_[touched_node_count_++] = node;
}

inline void UnionFindDecoder::release_cursors(uint32_t edge, int64_t now) {
    const EdgeEnds ends = edge_ends_[edge];
    const uint32_t cu = node_[ends.u].cursor;
    if (cu != kNone && neighbour_edge_[cu] == edge) advance_cursor(ends.u, now);
    const uint32_t cv = node_[ends.v].cursor;
    if (cv != kNone && neighbour_edge_[cv] == edge) advance_cursor(ends.v, now);
}

inline void UnionFindDecoder::advance_cursor(uint32_t node, int64_t now) {
    // The next edge to a fresh neighbour, lightest first, is the next of
    // this node's to fill on its own growth. A node whose cluster has
    // stopped queues it only when it is already full: the whole unit of time
    // fills every edge it covers, whatever merges happen in it; otherwise
    // the node is scanned afresh if its cluster ever grows again.
    const uint8_t* const scanned = scanned_.data();
    const uint32_t from = node_[node].cursor + 1;
    node_[node].cursor = kNone;
    const uint32_t root = find(node);
    const int64_t grown_here = growth(root, now) - node_[node].offset;
    const uint32_t end = adjacency_start_[node + 1];
    for (uint32_t k = from; k < end; ++k) {
        if (scanned[neighbour_node_[k]]) continue;
        const int64_t left = neighbour_weight_[k] - grown_here;
        if (node_[root].cluster.grows || left <= 0) {
            node_[node].cursor = k;
            events_.schedule(neighbour_edge_[k], now + (left > 0 ? left : 0));
        }
        return;
    }
}

inline void UnionFindDecoder::fill(uint32_t edge, int64_t now) {
    const EdgeEnds ends = edge_ends_[edge];
    const uint32_t ru = find(ends.u);
    const uint32_t rv = find(ends.v);
    if (ru == rv) {
        release_cursors(edge, now);
        return;
    }
    // The edge was given its time under the growth of when it was
    // scheduled; a cluster that has stopped since makes it come up too
    // early, never too late.
    const int64_t left =
        ends.weight - (growth(ru, now) - node_[ends.u].offset) - (growth(rv, now) - node_[ends.v].offset);
    if (left <= 0) {
        // Most merges are a growing cluster reaching a lone unfired node.
        const Cluster& cu = node_[ru].cluster;
        const Cluster& cv = node_[rv].cluster;
        if (cu.grows && cv.size == 1 && !cv.odd && !cv.has_boundary) {
            absorb(edge, ends.u, ends.v, ru, now);
        } else if (cv.grows && cu.size == 1 && !cu.odd && !cu.has_boundary) {
            absorb(edge, ends.v, ends.u, rv, now);
        } else {
            unite(edge, ru, rv, now);
            release_cursors(edge, now);
        }
        return;
    }
    // With neither end growing the edge waits, off the queue, until a merge
    // makes one of them grow and schedules it again.
    const int rate = node_[ru].cluster.grows + node_[rv].cluster.grows;
    if (rate != 0) events_.schedule(edge, now + ((left + rate - 1) >> (rate - 1)));
}

uint64_t UnionFindDecoder::decode_detectors(std::span<const uint32_t> fired) {
    return decode<false>(fired, nullptr, UINT32_MAX);
}

uint64_t UnionFindDecoder::decode_correction(std::span<const uint32_t> fired, std::vector<uint32_t>& correction,
                                             uint32_t kept_nodes) {
    return decode<true>(fired, &correction, kept_nodes);
}

template <bool kRecord>
uint64_t UnionFindDecoder::decode(std::span<const uint32_t> fired, std::vector<uint32_t>* correction,
                                  uint32_t kept_nodes) {
    kept_nodes_ = kept_nodes;
    for (uint32_t d : fired) {
        if (d >= boundary_) continue;
        touch_node(d);
        flags_[d] ^= kFired;
    }
    // Every odd singleton grows from time 0. An edge between two of them
    // fills from both ends: the first one scanned sees the other fresh, and
    // the other's scan then gives the edge its time at both ends' rate.
    growing_count_ = 0;
    for (uint32_t d : fired) {
        if (d >= boundary_ || !(flags_[d] & kFired) || node_[d].cluster.odd) continue;
        node_[d].cluster.odd = 1;
        node_[d].cluster.grows = 1;
        ++growing_count_;
        scan(d, d, 0);
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
    // Where every node has a way out, growth left none.
    for (uint32_t d : every_node_exits_ ? std::span<const uint32_t>() : fired) {
        if (d >= boundary_ || !(flags_[d] & kFired)) continue;
        Cluster& cluster = node_[find(d)].cluster;
        if (!cluster.odd || cluster.has_boundary) continue;
        flags_[d] |= kAnchor;
        cluster.odd = 0;
    }

    match_groups(kept_nodes);
    // A matched path may run over edges that the peeling also takes: the
    // listed correction is their sum, each edge once.
    uint64_t mask = peel<kRecord>(kept_nodes, correction);
    matcher_.flush([&](uint32_t edge) {
        mask ^= edge_observables_[edge];
        if constexpr (kRecord) correction->push_back(edge);
    });
    reset();
    return mask;
}

inline uint32_t UnionFindDecoder::group_of(uint32_t node) {
    uint32_t* const parent = group_parent_.data();
    while (parent[node] != node) node = parent[node] = parent[parent[node]];
    return node;
}

// The side of the boundary a set of nodes reaches, given one more node's or
// set's: kNoSide until one is reached, kSides once two differ.
inline uint32_t UnionFindDecoder::add_side(uint32_t sides, uint32_t more) {
    // Selects, not branches: which side a node reaches is data.
    const uint32_t changed = sides == kNoSide ? more : kSides;
    return (more == kNoSide) | (sides == more) ? sides : changed;
}

inline void UnionFindDecoder::join_groups(uint32_t a, uint32_t b) {
    a = group_of(a);
    b = group_of(b);
    if (a == b) return;
    group_parent_[b] = a;
    group_sides_[a] = add_side(group_sides_[a], group_sides_[b]);
    group_kept_[a] |= group_kept_[b];
    any_matched_group_ |= matched_group(a);
}

// The group is matched: it holds a node whose correction is kept, and
// reaches two sides of the boundary (or every group is matched).
inline bool UnionFindDecoder::matched_group(uint32_t group) const {
    return (group_kept_[group] != 0) & (match_every_group_ | (group_sides_[group] == kSides));
}

template <class Visit>
inline void UnionFindDecoder::for_each_reached_neighbour(uint32_t node, Visit&& visit) const {
    static_assert(kTouched == 1);
    const uint32_t* const neighbour_node = neighbour_node_.data();
    const uint32_t end = adjacency_start_[node + 1];
    for (uint32_t chunk = adjacency_start_[node]; chunk < end; chunk += 64) {
        uint64_t reached = low_bits_at(neighbour_node + chunk, std::min<uint32_t>(64, end - chunk), flags_.data());
        for (; reached != 0; reached &= reached - 1) {
            visit(neighbour_node[chunk + static_cast<uint32_t>(std::countr_zero(reached))]);
        }
    }
}

void UnionFindDecoder::match_groups(uint32_t kept_nodes) {
    // Nothing to choose unless the nodes the growth reached touch two sides
    // of the boundary between them.
    if (reached_sides_ != kSides && !match_every_group_) return;
    if (!form_groups(kept_nodes)) return;
    const std::span<const uint32_t> nodes(touched_nodes_.data(), touched_node_count_);

    // The matched groups' fired detectors are taken out of the peeling.
    for (auto at = nodes.rbegin(); at != nodes.rend(); ++at) {
        const uint32_t x = *at;
        if (x >= boundary_) continue;
        const uint32_t group = group_of(x);
        if (!matched_group(group)) continue;
        group_next_[x] = group_head_[group];
        group_head_[group] = x;
    }
    const AdjacencyView graph = adjacency();
    for (uint32_t group : nodes) {
        if (group >= boundary_ || group_parent_[group] != group || group_head_[group] == kNone) continue;
        matcher_.begin();
        for (uint32_t x = group_head_[group]; x != kNone; x = group_next_[x]) matcher_.add(x, flags_[x] & kFired);
        if (!matcher_.match(graph)) continue;
        for (uint32_t d : matcher_.defects()) flags_[d] &= static_cast<uint8_t>(~kFired);
    }
}

bool UnionFindDecoder::form_groups(uint32_t kept_nodes) {
    // Groups: a cluster without the boundary is one; a cluster with it falls
    // into parts, node by node. Groups next to each other are joined, since
    // the lightest correction may pair their detectors. The pairs of reached
    // nodes next to each other are the edges the growth listed between two
    // nodes it scanned, and the edges of the few nodes it reached without a
    // scan (the far end of a full edge from a cluster that had stopped).
    //
    // A whole cluster's sides and kept flag are its own, kept up by the
    // growth; every member enters them, which leaves the root's as the
    // group's. Boundary nodes are entered too, each a group of its own that
    // reaches no side and is never joined: the pass needs no test.
    const uint32_t* const touched = touched_nodes_.data();
    bool matched = false;
    uint32_t unscanned = 0;
    for (uint32_t i = 0; i < touched_node_count_; ++i) {
        const uint32_t x = touched[i];
        const uint32_t root = node_[x].root;
        const Cluster& cluster = node_[root].cluster;
        const bool part = cluster.has_boundary;
        group_parent_[x] = part ? x : root;
        group_sides_[x] = part ? boundary_side_[x] : cluster.sides;
        group_kept_[x] = part ? x < kept_nodes : cluster.kept;
        group_head_[x] = kNone;
        matched |= matched_group(x);
        unscanned_[unscanned] = x;
        unscanned += (x < boundary_) & (scanned_[x] ^ 1u);
    }
    any_matched_group_ = matched;
    const EdgeEnds* const ends = edge_ends_.data();
    for (uint32_t i = 0; i < grown_edge_count_; ++i) {
        const EdgeEnds& edge = ends[grown_edges_[i]];
        join_neighbours(edge.u, edge.v);
    }
    for (uint32_t i = 0; i < unscanned; ++i) {
        const uint32_t x = unscanned_[i];
        for_each_reached_neighbour(x, [&](uint32_t y) {
            if (y < boundary_) join_neighbours(x, y);
        });
    }
    return any_matched_group_;
}

inline void UnionFindDecoder::join_neighbours(uint32_t x, uint32_t y) {
    const uint32_t rx = node_[x].root;
    const uint32_t ry = node_[y].root;
    if (rx == ry) {
        if (node_[rx].cluster.has_boundary) join_groups(x, y);
        return;
    }
    // A cluster without the boundary and without a side of its own is joined
    // to the groups next to it that have one, not to another such cluster.
    // It is only ever the group joined in, so its sides stay as they were.
    const bool x_lone = !node_[rx].cluster.has_boundary && group_sides_[rx] == kNoSide;
    const bool y_lone = !node_[ry].cluster.has_boundary && group_sides_[ry] == kNoSide;
    if (x_lone && y_lone) return;
    if (x_lone) {
        join_groups(y, x);
    } else {
        join_groups(x, y);
    }
}

void UnionFindDecoder::schedule_open_edges(uint32_t root, uint32_t list_owner, int64_t now) {
    NodeState* const nodes = node_.data();
    for (uint32_t node = node_[list_owner].cluster.member_head; node != kNone; node = nodes[node].member_next) {
        scan(root, node, now);
    }
}

inline void UnionFindDecoder::scan(uint32_t root, uint32_t node, int64_t now) {
    // Gives the open edges of `node` their time to fill now that `root`, its
    // cluster, grows: every edge to a neighbour scanned before (which has
    // grown or grows, and whose own scan then saw this node fresh), and only
    // the lightest edge to a fresh neighbour, the node's cursor. A fresh
    // neighbour has never been scanned, so has never grown: every cluster
    // that starts to grow has its members scanned.
    const uint32_t* const neighbour_node = neighbour_node_.data();
    const uint32_t* const neighbour_edge = neighbour_edge_.data();
    const int32_t* const neighbour_weight = neighbour_weight_.data();
    uint8_t* const scanned = scanned_.data();
    NodeState* const nodes = node_.data();
    const int64_t grown_here = growth(root, now) - nodes[node].offset;
    // At its first scan a node lists its edges to the nodes scanned before
    // it, for the grouping: every edge between two scanned nodes, once.
    const uint32_t first_scan = scanned[node] ^ 1u;
    uint32_t* const grown_edges = grown_edges_.data();
    uint32_t grown_edge_count = grown_edge_count_;
    scanned[node] = 1;
    uint32_t cursor = kNone;
    const uint32_t end = adjacency_start_[node + 1];
    // Up to 64 entries at a time, which neighbours were scanned is made a
    // mask without a branch per entry; most are fresh, and of those only the
    // first matters.
    for (uint32_t chunk = adjacency_start_[node]; chunk < end; chunk += 64) {
        const uint32_t count = std::min<uint32_t>(64, end - chunk);
        // bit i: entry chunk + i leads to a scanned neighbour
        uint64_t seen = low_bits_at(neighbour_node + chunk, count, scanned);
        if (cursor == kNone) {
            const uint64_t fresh = ~seen & (count == 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1);
            if (fresh != 0) {
                const uint32_t k = chunk + static_cast<uint32_t>(std::countr_zero(fresh));
                cursor = k;
                const int64_t left = neighbour_weight[k] - grown_here;
                events_.schedule(neighbour_edge[k], now + (left > 0 ? left : 0));
            }
        }
        for (; seen != 0; seen &= seen - 1) {
            const uint32_t k = chunk + static_cast<uint32_t>(std::countr_zero(seen));
            const uint32_t neighbour = neighbour_node[k];
            grown_edges[grown_edge_count] = neighbour_edge[k];
            grown_edge_count += first_scan;
            const uint32_t other = find(neighbour);
            // Inside the cluster: never grows again. Should it be some
            // member's cursor, it is dropped when it comes up.
            if (other == root) continue;
            const Cluster& far = node_[other].cluster;
            const int64_t grown_there = (far.grows ? now : 0) - far.base - nodes[neighbour].offset;
            const int64_t left = neighbour_weight[k] - grown_here - grown_there;
            // One unit of time grows the edge by one from each growing end;
            // it fills at the first whole unit that covers what is left.
            const int64_t wait = (left + far.grows) >> far.grows;
            events_.schedule(neighbour_edge[k], now + (wait > 0 ? wait : 0));
        }
    }
    node_[node].cursor = cursor;
    grown_edge_count_ = grown_edge_count;
}

void UnionFindDecoder::absorb(uint32_t edge, uint32_t from, uint32_t node, uint32_t root, int64_t now) {
    // `node` is alone, unfired and apart from the boundary, so the cluster
    // keeps its parity and keeps growing; `node` has grown nothing (offset 0
    // in a cluster of growth 0) and starts now. It has never been scanned,
    // so it holds no cursor and the edge can only be the cursor of `from`.
    touch_node(node);
    node_[from].forest_edges ^= edge;
    ++node_[from].forest_degree;
    node_[node].forest_edges ^= edge;
    ++node_[node].forest_degree;
    Cluster& cluster = node_[root].cluster;
    node_[node].root = root;
    node_[node].offset = growth(root, now);
    ++cluster.size;
    cluster.kept |= node_[node].cluster.kept;
    cluster.sides = add_side(cluster.sides, node_[node].cluster.sides);
    node_[cluster.member_tail].member_next = node;
    cluster.member_tail = node;
    scan(root, node, now);
    const uint32_t k = node_[from].cursor;
    if (k != kNone && neighbour_edge_[k] == edge) advance_cursor(from, now);
}

void UnionFindDecoder::unite(uint32_t edge, uint32_t ru, uint32_t rv, int64_t now) {
    const uint32_t a = edge_ends_[edge].u;
    const uint32_t b = edge_ends_[edge].v;
    touch_node(a);
    touch_node(b);
    // The edges that join clusters form a spanning forest of the grown edges,
    // each tree holding at most one boundary node: an edge that joins two
    // clusters which both reach a boundary (a growing cluster that met two in
    // one unit of time) stays out of it, so each side peels to its own.
    if (!(node_[ru].cluster.has_boundary && node_[rv].cluster.has_boundary)) {
        node_[a].forest_edges ^= edge;
        ++node_[a].forest_degree;
        node_[b].forest_edges ^= edge;
        ++node_[b].forest_degree;
    }

    const uint8_t u_grew = node_[ru].cluster.grows;
    const uint8_t v_grew = node_[rv].cluster.grows;
    uint32_t keep = ru;
    uint32_t gone = rv;
    if (node_[keep].cluster.size < node_[gone].cluster.size) std::swap(keep, gone);
    Cluster& kept = node_[keep].cluster;
    Cluster& absorbed = node_[gone].cluster;
    const int64_t keep_growth = (kept.grows ? now : 0) - kept.base;
    const int64_t shift = keep_growth - ((absorbed.grows ? now : 0) - absorbed.base);
    {
        NodeState* const nodes = node_.data();
        for (uint32_t node = absorbed.member_head; node != kNone; node = nodes[node].member_next) {
            nodes[node].root = keep;
            nodes[node].offset += shift;
        }
    }
    kept.size += absorbed.size;
    kept.odd ^= absorbed.odd;
    kept.has_boundary |= absorbed.has_boundary;
    kept.kept |= absorbed.kept;
    kept.sides = add_side(kept.sides, absorbed.sides);
    kept.grows = kept.odd && !kept.has_boundary;
    kept.base = (kept.grows ? now : 0) - keep_growth;
    growing_count_ = growing_count_ - u_grew - v_grew + kept.grows;

    // The side that did not grow before starts to: its edges fill sooner.
    // The side that did keeps its times. The edges of a cluster that stops
    // come up before they are full, and are then given their later time or
    // dropped.
    if (kept.grows) {
        schedule_open_edges(keep, u_grew ? rv : ru, now);
    } else {
        if (u_grew) drop_fresh_cursors(node_[ru].cluster.member_head, now);
        if (v_grew) drop_fresh_cursors(node_[rv].cluster.member_head, now);
    }

    node_[kept.member_tail].member_next = absorbed.member_head;
    kept.member_tail = absorbed.member_tail;
}

void UnionFindDecoder::drop_fresh_cursors(uint32_t member_head, int64_t now) {
    // The members of a cluster that has just stopped growing hold cursors
    // queued for when their own growth would have filled them. Where the
    // far end is fresh, it does not grow either, so each would only come up
    // to be dropped: most of the events a decode pops. They are taken off
    // the queue now. A cursor stays as it is, as a dropped event leaves it;
    // should the fresh end ever grow, its scan queues the edge afresh. One
    // due now is full and still joins.
    const NodeState* const nodes = node_.data();
    const uint8_t* const scanned = scanned_.data();
    for (uint32_t node = member_head; node != kNone; node = nodes[node].member_next) {
        const uint32_t k = nodes[node].cursor;
        if (k == kNone || scanned[neighbour_node_[k]]) continue;
        const uint32_t edge = neighbour_edge_[k];
        if (events_.due(edge) > now) events_.cancel(edge);
    }
}

template <bool kRecord>
uint64_t UnionFindDecoder::peel(uint32_t kept_nodes, std::vector<uint32_t>* correction) {
    // Leaves first: a leaf's one forest edge is in the correction exactly
    // when the leaf still has a detector to match, which then moves to the
    // other end. Anchors (the boundary, best-effort leftovers) are never
    // peeled, so each tree ends at its anchor or, when it has none, at one
    // node whose count is then even. A node's last forest edge is the XOR of
    // the ids of its forest edges. A tree holds at most one anchor, so every
    // forest edge of a peeled tree is peeled and its forest arrays end at
    // rest. Trees are peeled whole or not at all: when only the correction
    // at nodes below kept_nodes is wanted, only the clusters holding such a
    // node are, and reset() puts the others' forest at rest.
    uint8_t* const flags = flags_.data();
    NodeState* const nodes = node_.data();
    const EdgeEnds* const ends = edge_ends_.data();
    const uint64_t* const observables = edge_observables_.data();
    // A node goes on the stack at most once: when found a leaf here, or when
    // its degree later drops from 2 to 1; degrees only fall.
    uint32_t* const leaves = leaves_.data();
    // Appends are unconditional and counted only for real leaves: whether a
    // node is a leaf or carries a detector is data, not a pattern a branch
    // predictor can learn.
    const bool every_tree = kept_nodes >= boundary_;
    // A peeled edge may also lie on a matched path: then the correction is
    // their sum, listed through the matcher. Otherwise it is listed here.
    const bool matched_paths = matcher_.toggling();
    uint32_t count = 0;
    for (uint32_t i = 0; i < touched_node_count_; ++i) {
        const uint32_t v = touched_nodes_[i];
        leaves[count] = v;
        count += (nodes[v].forest_degree == 1) & !(flags[v] & kAnchor) &
                 (every_tree || node_[node_[v].root].cluster.kept);
    }
    uint64_t mask = 0;
    while (count != 0) {
        const uint32_t v = leaves[--count];
        if (nodes[v].forest_degree != 1) continue;
        const uint32_t e = nodes[v].forest_edges;
        const uint32_t w = ends[e].u ^ ends[e].v ^ v;
        nodes[v].forest_degree = 0;
        nodes[v].forest_edges = 0;
        --nodes[w].forest_degree;
        nodes[w].forest_edges ^= e;
        const uint8_t carried = flags[v] & kFired;
        flags[v] ^= carried;
        flags[w] ^= carried;
        if (kRecord && carried && matched_paths) {
            // Listed through the matcher, which counts it into the mask.
            matcher_.toggle(e);
        } else {
            if (kRecord && carried) correction->push_back(e);
            mask ^= observables[e] & (uint64_t{0} - (carried != 0));
        }
        leaves[count] = w;
        count += (nodes[w].forest_degree == 1) & !(flags[w] & kAnchor);
    }
    return mask;
}

void UnionFindDecoder::reset() {
    NodeState* const nodes = node_.data();
    uint8_t* const flags = flags_.data();
    uint8_t* const scanned = scanned_.data();
    const uint32_t* const touched = touched_nodes_.data();
    for (uint32_t i = 0; i < touched_node_count_; ++i) {
        const uint32_t v = touched[i];
        scanned[v] = 0;
        flags[v] = v >= boundary_ ? kAnchor : 0;
        nodes[v] = NodeState{.root = v, .cluster = rest_cluster(v)};
    }
    touched_node_count_ = 0;
    grown_edge_count_ = 0;
    reached_sides_ = kNoSide;
    events_.clear();
}

void UnionFindDecoder::warm() const {
    prefetch_all(adjacency_start_);
    prefetch_all(neighbour_node_);
    prefetch_all(neighbour_edge_);
    prefetch_all(neighbour_weight_);
    prefetch_all(edge_ends_);
    prefetch_all(edge_observables_);
    prefetch_all(boundary_side_);
    prefetch_all(exit_distance_);
    prefetch_all(node_);
    prefetch_all(flags_);
    prefetch_all(scanned_);
    prefetch_all(group_parent_);
    prefetch_all(group_sides_);
    prefetch_all(group_head_);
    prefetch_all(group_kept_);
    events_.warm();
    matcher_.warm();
}

DecoderResult UnionFindDecoder::decode_window(const SyndromeWindow& window) {
    if (window.empty()) return DecoderResult{};
    window.active_detectors(active_);
    if (active_.empty()) return DecoderResult{};
    return decoder_result(decode_detectors(active_), kConfidenceDecoded);
}

}  // namespace veskar
