#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "veskar/decoder/decoder.hpp"
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

// Weighted Union-Find decoding (Delfosse and Nickerson) with peeling.
//
// Clusters grow from the fired detectors. A cluster is neutral when it holds
// an even number of fired detectors or contains the boundary node; only the
// others grow, all at the same rate along their not yet grown edges, so an
// edge between two growing clusters fills from both ends and a light (likely)
// edge is grown before a heavy one. An edge that is fully grown joins the
// clusters at its ends. Growth ends when no cluster can grow. The correction
// is then chosen by peeling a spanning forest of each cluster (the edges
// that joined it), leaves first, towards the boundary node when the cluster
// holds it; the observables of the correction's edges make the flip mask.
//
// A cluster with an odd count that cannot reach the boundary (its connected
// part of the graph has no boundary edge) has no valid correction. It is
// decoded best-effort: its first fired detector in input order is left
// unmatched and all its other fired detectors are paired along the cluster's
// spanning forest.
//
// Fired detectors at or beyond the boundary index are ignored, as are
// self-loop edges (they flip no detector, so no syndrome can call for them).
//
// At construction the graph is compacted once: self-loops dropped, parallel
// edges merged as independent mechanisms (p = p1(1-p2) + p2(1-p1), keeping
// the observables of the likelier one), weights turned into integers for
// growth. The SpacetimeGraph itself is shared and left as it is. All working
// state is allocated at construction and reset in place, touching only what
// the previous decode touched, so decoding allocates nothing but the result
// (the list of fired detectors is sized for the graph; a window with more
// fired detectors than the graph has nodes grows it once).
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

    const std::shared_ptr<const SpacetimeGraph>& graph() const { return graph_; }
    uint32_t node_count() const { return node_count_; }
    uint32_t observable_count() const { return observable_count_; }
    // Edges left for decoding after self-loops are dropped and parallel edges merged.
    uint32_t compact_edge_count() const { return static_cast<uint32_t>(edges_.size()); }

private:
    struct Neighbour {
        uint32_t node;
        uint32_t edge;
    };

    // Working state of one node. Cluster fields are meaningful at roots only.
    struct NodeState {
        uint32_t parent;
        uint32_t size;           // cluster size, for union by size
        uint32_t frontier_head;  // the cluster's nodes that may still have an edge to grow
        uint32_t frontier_tail;
        uint32_t frontier_next;
        uint32_t forest_edges;   // XOR of the ids of the forest edges at this node
        uint32_t forest_degree;
        uint8_t odd;             // cluster holds an odd number of fired detectors
        uint8_t has_boundary;    // cluster contains the boundary node
        uint8_t fired;           // still to be matched while peeling
        uint8_t anchor;          // never peeled away: the boundary, or a best-effort leftover
        uint8_t listed;          // already on growing_ in this step
        uint8_t touched;         // on touched_nodes_, to be reset after the decode
    };

    // Growth of one compact edge; the weight sits beside the growth so that
    // the growth loop reads one place per edge.
    struct EdgeState {
        int32_t grown = 0;   // complete once it reaches weight
        int32_t weight = 0;  // integer weight, fixed at construction
        uint8_t rate = 0;    // growing ends in the current step: 0, 1 or 2
        uint8_t touched = 0;
    };

    UnionFindDecoder() = default;

    void build_compact_graph();
    NodeState rest_state(uint32_t node) const;
    [[gnu::always_inline]] inline uint32_t find(uint32_t node);
    void touch_node(uint32_t node);
    void unite(uint32_t edge);
    bool grow_step();
    uint64_t peel();
    void reset();

    std::shared_ptr<const SpacetimeGraph> graph_;
    uint32_t node_count_ = 0;
    uint32_t boundary_ = 0;  // boundary node index; node_count_ when the graph has none
    uint32_t observable_count_ = 0;

    // Compact graph: per edge its ends, integer weight and observable mask;
    // adjacency in CSR form.
    std::vector<uint32_t> edge_u_;
    std::vector<uint32_t> edge_v_;
    std::vector<uint64_t> edge_observables_;
    std::vector<uint32_t> adjacency_start_;  // node_count_ + 1 entries
    std::vector<Neighbour> adjacency_;

    // Working state, sized at construction.
    std::vector<NodeState> nodes_;
    std::vector<EdgeState> edges_;  // one per compact edge
    std::vector<uint32_t> touched_nodes_;
    std::vector<uint32_t> touched_edges_;
    std::vector<uint32_t> growing_;     // roots of the clusters that grow
    std::vector<uint32_t> candidates_;  // edges growing in the current step
    std::vector<uint32_t> completed_;   // edges fully grown in the current step
    std::vector<uint32_t> leaves_;      // peeling stack
    std::vector<uint32_t> active_;      // the window's fired detectors
};

}  // namespace veskar
