#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace veskar {

// Maximum-weight matching of a small general graph (Edmonds' blossom
// algorithm with dual variables, O(n^3)), not necessarily perfect: only
// edges of positive weight are ever matched.
//
// The graph is dense: a weight per pair of vertices, 0 for no edge. All
// storage is sized for `capacity` vertices at construction, so that
// resetting and solving allocate nothing. Weights are integers; they are
// doubled inside, which keeps every dual variable an integer.
class MaxWeightMatching {
   public:
    static constexpr uint32_t kUnmatched = std::numeric_limits<uint32_t>::max();

    explicit MaxWeightMatching(uint32_t capacity = 0);

    uint32_t capacity() const { return capacity_; }

    // Starts a graph of `vertices` (at most capacity()) vertices and no edges.
    void reset(uint32_t vertices);
    // The weight of the edge between a and b (a != b); 0 or less removes it.
    void set_weight(uint32_t a, uint32_t b, int64_t weight);
    // Finds the matching; mate() then reads it.
    void solve();
    uint32_t mate(uint32_t vertex) const;

   private:
    // Vertices are numbered from 1 inside, 0 standing for none; blossoms
    // take the numbers n + 1 .. 2n.
    struct Edge {
        uint32_t u;
        uint32_t v;
        int64_t w;
    };

    Edge& g(uint32_t a, uint32_t b) { return edges_[size_t{a} * stride_ + b]; }
    const Edge& g(uint32_t a, uint32_t b) const { return edges_[size_t{a} * stride_ + b]; }
    uint32_t& flower_from(uint32_t b, uint32_t x) { return flower_from_[size_t{b} * (n_ + 1) + x]; }
    int64_t slack_of(const Edge& e) const { return label_[e.u] + label_[e.v] - 2 * g(e.u, e.v).w; }

    void update_slack(uint32_t u, uint32_t x);
    void set_slack(uint32_t x);
    void push(uint32_t x);
    void set_top(uint32_t x, uint32_t b);
    uint32_t even_position(uint32_t b, uint32_t xr);
    void set_match(uint32_t u, uint32_t v);
    void augment(uint32_t u, uint32_t v);
    uint32_t common_ancestor(uint32_t u, uint32_t v);
    void add_blossom(uint32_t u, uint32_t lca, uint32_t v);
    void expand_blossom(uint32_t b);
    bool on_tight_edge(const Edge& e);
    void clear_queue();
    bool augment_once();
    void list_neighbours();

    uint32_t capacity_ = 0;
    uint32_t stride_ = 0;  // 2 * vertices + 1: rows of the edge matrix
    uint32_t n_ = 0;
    uint32_t n_x_ = 0;  // highest vertex or blossom number in use
    std::vector<Edge> edges_;
    std::vector<uint32_t> flower_from_;
    std::vector<std::vector<uint32_t>> flower_;  // a blossom's sub-blossoms, base first, around its cycle
    std::vector<int64_t> label_;                 // dual variables, doubled
    std::vector<uint32_t> match_;
    std::vector<uint32_t> slack_;
    std::vector<uint32_t> top_;     // outermost blossom holding the vertex
    std::vector<uint32_t> parent_;  // tree edge that labelled the blossom odd
    std::vector<int8_t> side_;      // -1 free, 0 even (outer), 1 odd (inner)
    std::vector<uint32_t> visited_;
    uint32_t visit_stamp_ = 0;
    std::vector<uint32_t> neighbours_;  // per vertex, vertices + 1 slots: its edges' other ends
    std::vector<uint32_t> degree_;
    std::vector<uint32_t> queue_;  // ring of vertices, each at most once
    std::vector<uint8_t> queued_;
    uint32_t queue_head_ = 0;
    uint32_t queue_size_ = 0;
};

}  // namespace veskar
