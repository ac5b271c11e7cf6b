#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "veskar/core/overloaded.hpp"
#include "veskar/decoder/cluster_matcher.hpp"
#include "veskar/decoder/decoder.hpp"
#include "veskar/decoder/event_queue.hpp"
#include "veskar/dem/graph.hpp"

namespace veskar {

// Why a decoder could not be built from a graph.
namespace decoder_error {

struct NoGraph {};
// Node indices are 32-bit.
struct TooManyNodes {
    uint64_t node_count;
};
// The flip mask has one bit per observable, 0..63; `observable` is the
// largest index found on an edge. The Python layer reports this as
// ValueError naming the 64-observable limit.
struct ObservableBeyondMask {
    uint32_t observable;
};

}  // namespace decoder_error

using DecoderError =
    std::variant<decoder_error::NoGraph, decoder_error::TooManyNodes, decoder_error::ObservableBeyondMask>;

std::string message(const DecoderError& err);

// 1 + the largest observable index on any edge of the graph, 0 when no edge
// carries one.
uint32_t observable_count(const SpacetimeGraph& graph);

// Weighted Union-Find decoding (Delfosse and Nickerson), with peeling and,
// where the choice matters, minimum-weight matching of what growth found.
//
// Clusters grow from the fired detectors. A cluster is neutral when it holds
// an even number of fired detectors or contains the boundary node; only the
// others grow, all at the same rate, each of their nodes into every edge that
// leaves the cluster, so an edge between two growing clusters fills from both
// ends and a light (likely) edge is grown before a heavy one. Time and growth
// are integers: an edge is full at the first whole time unit at which what
// its two ends grew into it reaches its weight. Full edges join the clusters
// at their ends. Growth ends when no cluster can grow.
//
// Then the correction. Give every node a potential, the observables along
// any path to it from a fixed node of its connected part of the graph:
// where every cycle of the graph that avoids the boundary flips no
// observable (planar codes), a path's observables are the potentials of its
// ends, so all corrections of a set of fired detectors flip the same
// observables unless they may end on two "sides" of the boundary (boundary
// edges whose potential-corrected observables differ).
// That choice is the one that decides a logical error, and peeling makes it
// badly: growth stops a cluster at the first boundary it touches, and
// neighbouring clusters are corrected each on its own. So the nodes the
// growth reached are gathered in groups: a cluster without the boundary is
// one, a cluster with it falls into parts once its boundary nodes are taken
// out, and groups with an edge between them are joined. A group that reaches
// two sides is corrected by a minimum-weight matching of its fired
// detectors, to each other along the group's edges or each to its nearest
// boundary (ClusterMatcher); the rest by peeling a spanning forest of each
// cluster (the edges that joined it), leaves first, towards the boundary
// node when the cluster holds it. On a graph where some cycle avoiding the
// boundary flips an observable every group is matched. The observables of
// the correction's edges make the flip mask.
//
// Growth is event-driven: edges wait in a queue by the time they will fill,
// and only what a merge changes is looked at again, so the cost follows the
// merges rather than the clusters' size. A node grows into all its edges at
// once, so its edges to neighbours that have never grown (most of them) fill
// in order of weight: only the lightest is queued, the next when it goes.
// An edge at least as likely as not (weight 0) joins as soon as a growing
// cluster reaches either end.
//
// A cluster with an odd count that cannot reach the boundary (its connected
// part of the graph has no boundary edge) has no valid correction. It is
// decoded best-effort: its first fired detector in input order is left
// unmatched and all its other fired detectors are paired along the cluster's
// spanning forest.
//
// Every node at or beyond the graph's boundary index is a boundary node: a
// DEM's graph has one, a window cut out of a longer shot may add others
// (its open side) whose corrections the caller treats apart. Fired
// detectors at or beyond the boundary index are ignored, as are self-loop
// edges and edges between two boundary nodes (they flip no detector, so no
// syndrome can call for them).
//
// At construction the graph is compacted once: self-loops dropped, parallel
// edges merged as independent mechanisms (p = p1(1-p2) + p2(1-p1), keeping
// the observables of the likelier one), weights turned into integers for
// growth. The SpacetimeGraph itself is shared and left as it is. All working
// state is allocated at construction and reset in place, touching only what
// the previous decode touched, so decoding allocates nothing but the result
// (the list of fired detectors is sized for the graph; a window with more
// fired detectors than the graph has nodes grows it once). A group with
// more fired detectors than the matcher holds (kMatchedDetectors) is peeled.
class UnionFindDecoder final : public Decoder {
   public:
    static std::expected<UnionFindDecoder, DecoderError> create(std::shared_ptr<const SpacetimeGraph> graph);

    // No frames or no fired detector: no corrections, confidence 1.0, mask 0.
    // Otherwise confidence 0.9 (also when every fired detector lies beyond the
    // graph) and one correction per predicted flip.
    DecoderResult decode_window(const SyndromeWindow& window) override;

    // The predicted flip mask for the given fired detectors (node indices, a
    // repeated index cancelling itself); allocation-free.
    uint64_t decode_detectors(std::span<const uint32_t> fired);

    // The same decode, also appending to `correction` the compact edges
    // (indices into compact_edges()) the correction is made of, each once.
    // Allocation-free once `correction` has room for the graph's node count.
    //
    // A caller that keeps only the part of the correction at nodes below
    // `kept_nodes` (a window that commits its oldest frames) lets the decoder
    // skip the matching of groups that hold no such node: they are peeled,
    // which costs next to nothing and changes only edges the caller drops.
    uint64_t decode_correction(std::span<const uint32_t> fired, std::vector<uint32_t>& correction,
                               uint32_t kept_nodes = UINT32_MAX);

    // An edge of the compacted graph: its ends (v may be a boundary node) and
    // the observables it flips.
    struct CompactEdge {
        uint32_t u;
        uint32_t v;
        uint64_t observables;
    };
    CompactEdge compact_edge(uint32_t edge) const {
        return CompactEdge{edge_ends_[edge].u, edge_ends_[edge].v, edge_observables_[edge]};
    }

    const std::shared_ptr<const SpacetimeGraph>& graph() const { return graph_; }
    uint32_t node_count() const { return node_count_; }
    uint32_t observable_count() const { return observable_count_; }
    // Edges left for decoding after self-loops are dropped and parallel edges merged.
    uint32_t compact_edge_count() const { return static_cast<uint32_t>(edge_ends_.size()); }

    // Brings the decoder's working state into the cache ahead of a decode.
    void warm() const;

    // Most fired detectors a group may hold to be matched.
    static constexpr uint32_t kMatchedDetectors = 128;

   private:
    // What the growth loop reads of an edge, in one place.
    struct EdgeEnds {
        uint32_t u;
        uint32_t v;
        int32_t weight;  // integer weight, fixed at construction
    };

    // Per-node flags.
    static constexpr uint8_t kTouched = 1;  // listed in touched_nodes_, to be reset after the decode
    static constexpr uint8_t kFired = 2;    // still to be matched while peeling
    static constexpr uint8_t kAnchor = 4;   // never peeled away: the boundary, or a best-effort leftover

    static constexpr uint32_t kNoNode = 0xFFFFFFFF;  // no node, edge or adjacency entry

    // Which boundary a node's boundary edges reach, as an index into the
    // distinct potential-corrected observables; these two when it has none
    // or several.
    static constexpr uint32_t kNoSide = 0xFFFFFFFF;
    static constexpr uint32_t kSides = 0xFFFFFFFE;

    // A cluster, kept at its root.
    //
    // What node n has grown into each of its open edges by time t is the
    // growth of its cluster, (grows ? t : 0) - base, less n's offset. A
    // merge shifts the offsets of the absorbed cluster so that no node's
    // growth jumps, and a cluster that starts or stops growing moves its base.
    struct Cluster {
        int64_t base;
        uint32_t size;         // nodes, for union by size
        uint32_t member_head;  // its nodes, linked by member_next_
        uint32_t member_tail;
        uint8_t odd;           // holds an odd number of fired detectors
        uint8_t has_boundary;  // contains the boundary node
        uint8_t grows;         // odd and without the boundary
        uint8_t kept;          // holds a node below kept_nodes
        uint32_t sides;        // the sides of the boundary its members reach
    };

    UnionFindDecoder() = default;

    void build_compact_graph();
    // Fills edge_ends_ and edge_observables_, one edge per pair of nodes;
    // returns the edges' real weights.
    std::vector<double> merge_parallel_edges();
    void set_integer_weights(const std::vector<double>& weights);
    void build_adjacency();
    void find_boundary_sides();
    void find_exits();
    AdjacencyView adjacency() const;
    Cluster rest_cluster(uint32_t node) const;
    [[gnu::always_inline]] inline uint32_t find(uint32_t node) const;
    [[gnu::always_inline]] inline int64_t growth(uint32_t root, int64_t now) const;
    [[gnu::always_inline]] inline void touch_node(uint32_t node);
    [[gnu::always_inline]] inline void release_cursors(uint32_t edge, int64_t now);
    [[gnu::always_inline]] inline void advance_cursor(uint32_t node, int64_t now);
    [[gnu::always_inline]] inline void scan(uint32_t root, uint32_t node, int64_t now);
    [[gnu::always_inline]] inline void fill(uint32_t edge, int64_t now);
    // The growth loop's other helpers are called only from within this
    // library: hidden, a call to one is a direct call even in the
    // position-independent code of the Python extension, not one through its
    // procedure linkage table.
    [[gnu::visibility("hidden")]] void schedule_open_edges(uint32_t root, uint32_t list_owner, int64_t now);
    [[gnu::visibility("hidden")]] void absorb(uint32_t edge, uint32_t from, uint32_t node, uint32_t root, int64_t now);
    [[gnu::visibility("hidden")]] void unite(uint32_t edge, uint32_t ru, uint32_t rv, int64_t now);
    [[gnu::visibility("hidden")]] void drop_fresh_cursors(uint32_t member_head, int64_t now);
    [[gnu::visibility("hidden")]] void match_groups(uint32_t kept_nodes);
    // Groups the nodes the growth reached (nodes at or beyond the boundary
    // are never joined); returns whether some group is matched.
    [[gnu::visibility("hidden")]] bool form_groups(uint32_t kept_nodes);
    [[gnu::always_inline]] inline void join_neighbours(uint32_t x, uint32_t y);
    // Calls visit(y) for every neighbour y of `node` that the growth reached
    // (boundary nodes included), in adjacency order.
    template <class Visit>
    [[gnu::always_inline]] inline void for_each_reached_neighbour(uint32_t node, Visit&& visit) const;
    [[gnu::always_inline]] inline uint32_t group_of(uint32_t node);
    [[gnu::always_inline]] inline void join_groups(uint32_t a, uint32_t b);
    [[gnu::always_inline]] inline bool matched_group(uint32_t group) const;
    static uint32_t add_side(uint32_t sides, uint32_t more);
    template <bool kRecord>
    [[gnu::visibility("hidden")]] uint64_t peel(uint32_t kept_nodes, std::vector<uint32_t>* correction);
    template <bool kRecord>
    uint64_t decode(std::span<const uint32_t> fired, std::vector<uint32_t>* correction, uint32_t kept_nodes);
    [[gnu::visibility("hidden")]] void reset();

    std::shared_ptr<const SpacetimeGraph> graph_;
    uint32_t node_count_ = 0;
    uint32_t boundary_ = 0;  // first boundary node; node_count_ when the graph has none
    uint32_t observable_count_ = 0;

    // Compact graph: per edge its ends, integer weight and observable mask;
    // adjacency in CSR form, each node's edges lightest first, the
    // neighbour, edge and weight of entry k in three arrays so that a scan
    // reads only what it needs.
    std::vector<EdgeEnds> edge_ends_;
    std::vector<uint64_t> edge_observables_;
    std::vector<uint32_t> adjacency_start_;  // node_count_ + 1 entries
    std::vector<uint32_t> neighbour_node_;
    std::vector<uint32_t> neighbour_edge_;
    std::vector<int32_t> neighbour_weight_;
    // Per node, the side of the boundary its boundary edges reach (see kSides).
    std::vector<uint32_t> boundary_side_;
    // Some cycle avoiding the boundary flips an observable: every group is matched.
    bool match_every_group_ = false;
    // Per node, its shortest way to a boundary node: the length, the first
    // edge and the node it leads to.
    std::vector<int64_t> exit_distance_;
    std::vector<uint32_t> exit_edge_;
    std::vector<uint32_t> exit_next_;
    bool every_node_exits_ = false;  // no node below the boundary lacks a way out

    // Working state, sized at construction. Per node, what growth and
    // peeling read of it, and of a root its cluster, in one record.
    struct NodeState {
        int64_t offset = 0;
        uint32_t root = 0;  // the node's cluster; a merge relabels the smaller side
        uint32_t member_next = kNoNode;
        uint32_t cursor = kNoNode;  // adjacency index of the queued edge to a fresh neighbour, or kNoNode
        uint32_t forest_edges = 0;  // XOR of the ids of the forest edges at the node
        uint32_t forest_degree = 0;
        Cluster cluster{};  // valid at a cluster's root
    };
    std::vector<NodeState> node_;
    std::vector<uint8_t> flags_;
    // 1 once the node's edges were scheduled: it has grown, or may have.
    // Apart from the flags, so that a scan reads it as a bit per neighbour.
    std::vector<uint8_t> scanned_;
    // Nodes to put back at rest after the decode; each is listed at most
    // once, so node_count_ entries are never exceeded.
    std::vector<uint32_t> touched_nodes_;
    uint32_t touched_node_count_ = 0;
    uint32_t kept_nodes_ = 0;           // of the decode under way
    uint32_t reached_sides_ = kNoSide;  // the sides the touched nodes reach
    EventQueue events_;                 // the open edges next to a growing cluster, by when they fill
    uint32_t growing_count_ = 0;        // clusters that grow
    std::vector<uint32_t> leaves_;      // peeling stack
    std::vector<uint32_t> active_;      // the window's fired detectors
    // Groups of the nodes the growth reached (a union-find over nodes), the
    // sides of the boundary each reaches, and the nodes of each group to
    // match as a list.
    std::vector<uint32_t> group_parent_;
    std::vector<uint32_t> group_sides_;
    std::vector<uint32_t> group_head_;
    std::vector<uint32_t> group_next_;
    std::vector<uint8_t> group_kept_;  // the group holds a node below kept_nodes
    bool any_matched_group_ = false;   // some group formed so far is matched
    std::vector<uint32_t> unscanned_;  // reached nodes below the boundary that were never scanned
    // The edges between two scanned nodes, each once.
    std::vector<uint32_t> grown_edges_;
    uint32_t grown_edge_count_ = 0;
    ClusterMatcher matcher_;
};

}  // namespace veskar
