#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "veskar/decoder/weighted_matching.hpp"

namespace veskar {

// What the matcher reads of the decoding graph: adjacency in CSR form, each
// entry's neighbour, edge and integer weight. Nodes at or beyond `boundary`
// are boundary nodes.
struct AdjacencyView {
    std::span<const uint32_t> start;  // node count + 1 entries
    std::span<const uint32_t> neighbour;
    std::span<const uint32_t> edge;
    std::span<const int32_t> weight;
    // Per node, its shortest way to a boundary node in the whole graph: the
    // length (int64 max when there is none), the first edge and the node it
    // leads to.
    std::span<const int64_t> exit_distance;
    std::span<const uint32_t> exit_edge;
    std::span<const uint32_t> exit_next;
    uint32_t boundary;
};

// The lightest correction of a group of fired detectors: they are paired
// with each other or sent to the boundary by a minimum-weight matching. A
// pair is joined by its shortest path through the group's nodes (any edge
// between two of them); a detector sent to the boundary takes its shortest
// way there in the whole graph.
//
// A pair is worth joining only when its path is shorter than its two ways
// to the boundary together, so each detector's search stops once it has
// gone further than its own way out and the longest other one, or has
// reached its kNeighbours nearest. The matching splits into
// the connected parts of the graph of worthwhile pairs, each solved on its
// own: over all subsets when small, by the blossom algorithm otherwise.
//
// All storage is sized at construction: a group is matched when it holds at
// most `capacity` fired detectors.
class ClusterMatcher {
   public:
    ClusterMatcher() = default;
    ClusterMatcher(uint32_t node_count, uint32_t adjacency_size, uint32_t edge_count, uint32_t capacity);

    // Starts a group, then add() its nodes (all below the boundary), each once.
    void begin();
    void add(uint32_t node, bool fired);
    std::span<const uint32_t> defects() const { return defects_; }

    // Toggles the edges of the group's lightest correction. False, with
    // nothing toggled, when the group holds more fired detectors than the
    // capacity, or an odd number and no way to the boundary.
    bool match(const AdjacencyView& graph);

    // Adds the edge to the correction being built, or takes it out again.
    void toggle(uint32_t edge);

    // Brings the state a match works in into the cache ahead of one.
    void warm() const;

    // Some edge was toggled since the last flush.
    bool toggling() const { return !toggled_.empty(); }

    // Calls visit(edge) once for every edge toggled an odd number of times
    // since the last flush, and forgets them all.
    template <class Visit>
    void flush(Visit&& visit) {
        for (uint32_t e : toggled_) {
            if (parity_[e]) visit(e);
            parity_[e] = 0;
            listed_[e] = 0;
        }
        toggled_.clear();
    }

   private:
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    static constexpr int64_t kUnreached = std::numeric_limits<int64_t>::max();
    // A detector is paired with one of its nearest few or not at all: the
    // lightest matching all but never pairs further.
    static constexpr uint32_t kNeighbours = 8;
    // Parts of the matching this small are solved over all their subsets.
    static constexpr uint32_t kSmallComponent = 8;
    // From this many fired detectors a group's paths may also step out of
    // it, one node at a time: the growth reaches a large group by ways that
    // are often longer than the shortest between its detectors.
    static constexpr uint32_t kRingDetectors = 16;

    // The group's own graph, its nodes numbered in the order added; for a
    // large group also the ring of nodes next to it, each joined only to
    // the group's nodes, numbered after them.
    void build(const AdjacencyView& graph);
    void add_ring(const AdjacencyView& graph);
    // Shortest paths from local node `source` within the group, until
    // `target` is settled or the search has gone as far as `radius`.
    void shortest_path(uint32_t source, uint32_t target, int64_t radius);
    void toggle_path(uint32_t from, uint32_t to);
    template <class Stop>
    void search(uint32_t source, Stop&& stop);
    // Shortest paths from local node `source` within the group, listing in
    // found_ the fired detectors of rank first_rank or more settled, until
    // `wanted` of them are or the search has gone as far as `radius`.
    void nearest_paths(uint32_t source, int64_t radius, uint32_t first_rank, uint32_t wanted);
    std::vector<std::pair<uint32_t, int64_t>> found_;
    void toggle_exit(const AdjacencyView& graph, uint32_t node);
    // Pairs the fired detectors of one connected part of the graph of
    // worthwhile pairs (ranks in `ranks`).
    void match_component(std::span<const uint32_t> ranks);
    uint32_t component_of(uint32_t rank);
    bool match_pair(const AdjacencyView& graph);
    // Steps of match() for three or more fired detectors: the distance of
    // every worthwhile pair into saving_ (returns the largest), then each
    // pair's saving and the connected parts they make, the matching of each
    // part into mate_, and the paths of the matching toggled.
    int64_t pair_distances(const AdjacencyView& graph, bool reaches_boundary, int64_t longest_exit);
    void pair_savings(const AdjacencyView& graph, int64_t longest);
    void match_components();
    void toggle_mates(const AdjacencyView& graph);

    // The group.
    std::vector<uint32_t> member_;  // per graph node: == group_ when in the group
    std::vector<uint32_t> ring_;    // per graph node: == group_ when next to the group, outside it
    std::vector<uint32_t> local_;   // per graph node in the group: its local number
    uint32_t group_ = 0;
    std::vector<uint32_t> nodes_;    // per local node, its graph node
    std::vector<uint32_t> rank_;     // per local node, its index among the fired, kNone if not fired
    std::vector<uint32_t> defects_;  // the fired, as graph nodes
    std::vector<uint32_t> start_;    // local adjacency, CSR
    std::vector<uint32_t> to_;
    std::vector<int32_t> weight_;
    std::vector<uint32_t> edge_;

    // Shortest-path state per local node, valid where stamp_ == search_.
    std::vector<int64_t> distance_;
    std::vector<uint32_t> previous_;
    std::vector<uint32_t> previous_edge_;
    std::vector<uint32_t> stamp_;
    uint32_t search_ = 0;
    struct Entry {
        int64_t distance;
        uint32_t node;
    };
    std::vector<uint64_t> heap_;
    void push(int64_t distance, uint32_t node);
    Entry pop();

    // Per pair of fired detectors (ranks i < j, at i * k + j) the saving of
    // pairing them, 0 when none; per detector its way to the boundary, its
    // partner's rank (kNone: the boundary) and its connected part.
    std::vector<int64_t> saving_;
    std::vector<int64_t> exit_cost_;
    std::vector<uint32_t> mate_;
    std::vector<uint32_t> component_;
    std::vector<uint32_t> members_;  // ranks grouped by connected part
    std::vector<uint32_t> members_start_;
    MaxWeightMatching matching_;
    std::vector<int64_t> best_;
    std::vector<uint8_t> choice_;

    std::vector<uint8_t> parity_;  // per edge
    std::vector<uint8_t> listed_;  // per edge: in toggled_
    std::vector<uint32_t> toggled_;
};

}  // namespace veskar
