#include "veskar/decoder/cluster_matcher.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>

#include "veskar/core/prefetch.hpp"

namespace veskar {

ClusterMatcher::ClusterMatcher(uint32_t node_count, uint32_t adjacency_size, uint32_t edge_count, uint32_t capacity)
    : member_(node_count, 0),
      ring_(node_count, 0),
      local_(node_count, 0),
      rank_(node_count, kNone),
      start_(size_t{node_count} + 1, 0),
      to_(adjacency_size),
      weight_(adjacency_size),
      edge_(adjacency_size),
      distance_(node_count, 0),
      previous_(node_count, kNone),
      previous_edge_(node_count, kNone),
      stamp_(node_count, 0),
      saving_(size_t{capacity} * capacity),
      exit_cost_(capacity),
      mate_(capacity),
      component_(capacity),
      members_(capacity),
      members_start_(size_t{capacity} + 1),
      matching_(capacity),
      best_(size_t{1} << kSmallComponent),
      choice_(size_t{1} << kSmallComponent),
      parity_(edge_count, 0),
      listed_(edge_count, 0) {
    nodes_.reserve(node_count);
    defects_.reserve(node_count);
    // Every relaxation pushes at most one entry.
    heap_.reserve(size_t{adjacency_size} + 1);
    toggled_.reserve(edge_count);
    found_.reserve(capacity);
}

void ClusterMatcher::warm() const {
    prefetch_all(member_);
    prefetch_all(local_);
    prefetch_all(rank_);
    prefetch_all(start_);
    prefetch_all(to_);
    prefetch_all(weight_);
    prefetch_all(edge_);
    prefetch_all(distance_);
    prefetch_all(previous_);
    prefetch_all(previous_edge_);
    prefetch_all(stamp_);
    prefetch_all(parity_);
    prefetch_all(listed_);
}

void ClusterMatcher::begin() {
    nodes_.clear();
    defects_.clear();
    if (++group_ == 0) {
        std::fill(member_.begin(), member_.end(), 0);
        std::fill(ring_.begin(), ring_.end(), 0);
        group_ = 1;
    }
}

void ClusterMatcher::add(uint32_t node, bool fired) {
    const auto local = static_cast<uint32_t>(nodes_.size());
    member_[node] = group_;
    local_[node] = local;
    nodes_.push_back(node);
    rank_[local] = fired ? static_cast<uint32_t>(defects_.size()) : kNone;
    if (fired) defects_.push_back(node);
}

void ClusterMatcher::build(const AdjacencyView& graph) {
    const auto members = static_cast<uint32_t>(nodes_.size());
    if (defects_.size() >= kRingDetectors) add_ring(graph);
    uint32_t entries = 0;
    for (uint32_t x = 0; x < nodes_.size(); ++x) {
        start_[x] = entries;
        const uint32_t node = nodes_[x];
        const bool inside = x < members;
        for (uint32_t k = graph.start[node]; k < graph.start[node + 1]; ++k) {
            const uint32_t y = graph.neighbour[k];
            if (y >= graph.boundary || (member_[y] != group_ && !(inside && ring_[y] == group_))) continue;
            to_[entries] = local_[y];
            weight_[entries] = graph.weight[k];
            edge_[entries] = graph.edge[k];
            ++entries;
        }
    }
    start_[nodes_.size()] = entries;
}

void ClusterMatcher::add_ring(const AdjacencyView& graph) {
    const auto members = static_cast<uint32_t>(nodes_.size());
    for (uint32_t x = 0; x < members; ++x) {
        const uint32_t node = nodes_[x];
        for (uint32_t k = graph.start[node]; k < graph.start[node + 1]; ++k) {
            const uint32_t y = graph.neighbour[k];
            if (y >= graph.boundary || member_[y] == group_ || ring_[y] == group_) continue;
            ring_[y] = group_;
            local_[y] = static_cast<uint32_t>(nodes_.size());
            rank_[nodes_.size()] = kNone;
            nodes_.push_back(y);
        }
    }
}

// Dijkstra's search from local node `source` within the group; calls
// stop(node, distance) on each node as it is settled, and ends when it
// returns true.
template <class Stop>
void ClusterMatcher::search(uint32_t source, Stop&& stop) {
    if (++search_ == 0) {
        std::fill(stamp_.begin(), stamp_.end(), 0);
        search_ = 1;
    }
    heap_.clear();
    distance_[source] = 0;
    stamp_[source] = search_;
    push(0, source);
    while (!heap_.empty()) {
        const Entry top = pop();
        const uint32_t x = top.node;
        if (top.distance > distance_[x]) continue;  // superseded
        if (stop(x, top.distance)) return;
        for (uint32_t e = start_[x]; e < start_[x + 1]; ++e) {
            const uint32_t y = to_[e];
            const int64_t reach = top.distance + weight_[e];
            if (stamp_[y] == search_ && reach >= distance_[y]) continue;
            stamp_[y] = search_;
            distance_[y] = reach;
            previous_[y] = x;
            previous_edge_[y] = edge_[e];
            push(reach, y);
        }
    }
}

void ClusterMatcher::shortest_path(uint32_t source, uint32_t target, int64_t radius) {
    search(source, [&](uint32_t x, int64_t distance) { return x == target || distance >= radius; });
}

void ClusterMatcher::nearest_paths(uint32_t source, int64_t radius, uint32_t first_rank, uint32_t wanted) {
    search(source, [&](uint32_t x, int64_t distance) {
        if (distance >= radius) return true;
        if (x == source || rank_[x] == kNone || rank_[x] < first_rank) return false;
        found_.push_back({rank_[x], distance});
        return found_.size() == wanted;
    });
}

// Heap entries pack a distance (below 2^40: weights are below 2^16 and a
// path has fewer than 2^24 edges) above a local node (below 2^24).
inline void ClusterMatcher::push(int64_t distance, uint32_t node) {
    heap_.push_back(static_cast<uint64_t>(distance) << 24 | node);
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
}

inline ClusterMatcher::Entry ClusterMatcher::pop() {
    std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
    const uint64_t top = heap_.back();
    heap_.pop_back();
    return Entry{static_cast<int64_t>(top >> 24), static_cast<uint32_t>(top & 0xFFFFFF)};
}

void ClusterMatcher::toggle(uint32_t edge) {
    parity_[edge] ^= 1;
    if (listed_[edge]) return;
    listed_[edge] = 1;
    toggled_.push_back(edge);
}

// Along the last search's tree, from local node `to` back to its source `from`.
void ClusterMatcher::toggle_path(uint32_t from, uint32_t to) {
    for (uint32_t x = to; x != from; x = previous_[x]) toggle(previous_edge_[x]);
}

void ClusterMatcher::toggle_exit(const AdjacencyView& graph, uint32_t node) {
    for (; node < graph.boundary; node = graph.exit_next[node]) toggle(graph.exit_edge[node]);
}

uint32_t ClusterMatcher::component_of(uint32_t rank) {
    while (component_[rank] != rank) rank = component_[rank] = component_[component_[rank]];
    return rank;
}

void ClusterMatcher::match_component(std::span<const uint32_t> ranks) {
    const auto k = static_cast<uint32_t>(defects_.size());
    const auto n = static_cast<uint32_t>(ranks.size());
    if (n == 1) {
        mate_[ranks[0]] = kNone;
        return;
    }
    const auto saving = [&](uint32_t a, uint32_t b) {
        return saving_[size_t{std::min(ranks[a], ranks[b])} * k + std::max(ranks[a], ranks[b])];
    };
    if (n <= kSmallComponent) {
        // Few enough for every subset: best_[set] is the largest saving of a
        // matching within it, its lowest member matched as choice_[set]
        // says (itself: unmatched). Only the pairs that save something are
        // tried, read once into per-member masks: a part's graph of such
        // pairs is sparse, so most sets try one or two partners.
        std::array<uint32_t, kSmallComponent> partners{};
        std::array<int64_t, size_t{kSmallComponent} * kSmallComponent> gains{};
        for (uint32_t a = 0; a < n; ++a) {
            for (uint32_t b = a + 1; b < n; ++b) {
                const int64_t gain = saving(a, b);
                if (gain <= 0) continue;
                partners[a] |= 1u << b;
                gains[size_t{a} * kSmallComponent + b] = gain;
            }
        }
        best_[0] = 0;
        for (uint32_t set = 1; set < (1u << n); ++set) {
            const auto a = static_cast<uint32_t>(std::countr_zero(set));
            const uint32_t rest = set & (set - 1);
            int64_t value = best_[rest];
            uint32_t choice = a;
            for (uint32_t others = rest & partners[a]; others != 0; others &= others - 1) {
                const auto b = static_cast<uint32_t>(std::countr_zero(others));
                const int64_t gained = gains[size_t{a} * kSmallComponent + b] + best_[rest & ~(1u << b)];
                if (gained > value) {
                    value = gained;
                    choice = b;
                }
            }
            best_[set] = value;
            choice_[set] = static_cast<uint8_t>(choice);
        }
        for (uint32_t set = (1u << n) - 1; set != 0;) {
            const auto a = static_cast<uint32_t>(std::countr_zero(set));
            const uint32_t b = choice_[set];
            mate_[ranks[a]] = b == a ? kNone : ranks[b];
            if (b != a) mate_[ranks[b]] = ranks[a];
            set &= ~(1u << a) & ~(1u << b);
        }
        return;
    }
    matching_.reset(n);
    for (uint32_t a = 0; a < n; ++a) {
        for (uint32_t b = a + 1; b < n; ++b) {
            matching_.set_weight(a, b, saving(a, b));
        }
    }
    matching_.solve();
    for (uint32_t a = 0; a < n; ++a) {
        const uint32_t b = matching_.mate(a);
        mate_[ranks[a]] = b == MaxWeightMatching::kUnmatched ? kNone : ranks[b];
    }
}

// Two fired detectors: paired when their path is shorter than their ways
// to the boundary together.
bool ClusterMatcher::match_pair(const AdjacencyView& graph) {
    const uint32_t a = local_[defects_[0]];
    const uint32_t b = local_[defects_[1]];
    const int64_t exit_a = graph.exit_distance[defects_[0]];
    const int64_t exit_b = graph.exit_distance[defects_[1]];
    const bool both_exit = exit_a != kUnreached && exit_b != kUnreached;
    shortest_path(a, b, both_exit ? exit_a + exit_b : kUnreached);
    if (stamp_[b] == search_ && (!both_exit || distance_[b] < exit_a + exit_b)) {
        toggle_path(a, b);
        return true;
    }
    if (!both_exit) return false;
    toggle_exit(graph, defects_[0]);
    toggle_exit(graph, defects_[1]);
    return true;
}

bool ClusterMatcher::match(const AdjacencyView& graph) {
    const auto k = static_cast<uint32_t>(defects_.size());
    if (k == 0) return true;
    if (k > matching_.capacity()) return false;
    if (k == 1) {
        if (graph.exit_distance[defects_[0]] == kUnreached) return false;
        toggle_exit(graph, defects_[0]);
        return true;
    }
    build(graph);
    if (k == 2) return match_pair(graph);

    bool reaches_boundary = false;
    int64_t longest_exit = 0;
    for (uint32_t i = 0; i < k; ++i) {
        const int64_t exit = graph.exit_distance[defects_[i]];
        if (exit == kUnreached) continue;
        reaches_boundary = true;
        longest_exit = std::max(longest_exit, exit);
    }
    if (!reaches_boundary && k % 2 == 1) return false;

    const int64_t farthest = pair_distances(graph, reaches_boundary, longest_exit);
    pair_savings(graph, std::max(farthest, longest_exit));
    match_components();
    toggle_mates(graph);
    return true;
}

int64_t ClusterMatcher::pair_distances(const AdjacencyView& graph, bool reaches_boundary, int64_t longest_exit) {
    // Sending detector i to the boundary costs b_i, so pairing i with j
    // saves b_i + b_j - d_ij: the lightest correction is the matching of
    // largest saving. One search per detector finds the distances to the
    // detectors that can save anything.
    const auto k = static_cast<uint32_t>(defects_.size());
    int64_t farthest = 0;
    for (uint32_t i = 0; i < k; ++i) {
        for (uint32_t j = i + 1; j < k; ++j) saving_[size_t{i} * k + j] = kUnreached;
        exit_cost_[i] = graph.exit_distance[defects_[i]];
    }
    // With at most kNeighbours others and every detector's way out known, no
    // search is cut short by the neighbour count, and a pair beyond the
    // radius of the search from its lower rank saves nothing: searching from
    // each detector only for those ranked after it finds every pair that
    // matters, once, and the search from the last is not needed.
    bool every_exit = true;
    for (uint32_t i = 0; i < k; ++i) every_exit = every_exit && exit_cost_[i] != kUnreached;
    const bool forward = every_exit && k <= kNeighbours + 1;
    for (uint32_t i = 0; i + (forward ? 1 : 0) < k; ++i) {
        // Nothing is worth pairing beyond this detector's way out and the
        // longest other one together.
        const int64_t exit = exit_cost_[i];
        found_.clear();
        nearest_paths(local_[defects_[i]], exit == kUnreached || !reaches_boundary ? kUnreached : exit + longest_exit,
                      forward ? i + 1 : 0, forward ? k - 1 - i : kNeighbours);
        for (const auto& [j, distance] : found_) {
            int64_t& best = saving_[size_t{std::min(i, j)} * k + std::max(i, j)];
            best = std::min(best, distance);
            farthest = std::max(farthest, distance);
        }
    }
    return farthest;
}

void ClusterMatcher::pair_savings(const AdjacencyView& graph, int64_t longest) {
    // A detector without a way to the boundary costs more than any set of
    // pairs weighs, so every such detector gets paired.
    const auto k = static_cast<uint32_t>(defects_.size());
    const int64_t unreachable = (int64_t{k} + 1) * (longest + 1);
    for (uint32_t i = 0; i < k; ++i) {
        const int64_t exit = graph.exit_distance[defects_[i]];
        exit_cost_[i] = exit == kUnreached ? unreachable : exit;
        component_[i] = i;
    }
    for (uint32_t i = 0; i < k; ++i) {
        for (uint32_t j = i + 1; j < k; ++j) {
            int64_t& saving = saving_[size_t{i} * k + j];
            saving = saving == kUnreached ? 0 : std::max<int64_t>(0, exit_cost_[i] + exit_cost_[j] - saving);
            if (saving > 0) component_[component_of(j)] = component_of(i);
        }
    }
}

void ClusterMatcher::match_components() {
    // Ranks grouped by connected part, by counting.
    const auto k = static_cast<uint32_t>(defects_.size());
    std::fill(members_start_.begin(), members_start_.begin() + k + 1, 0);
    for (uint32_t i = 0; i < k; ++i) ++members_start_[component_of(i) + 1];
    for (uint32_t i = 0; i < k; ++i) members_start_[i + 1] += members_start_[i];
    for (uint32_t i = 0; i < k; ++i) members_[members_start_[component_of(i)]++] = i;
    for (uint32_t root = 0, begin = 0; root < k; ++root) {
        // members_start_[root] now marks the end of root's part.
        const uint32_t end = members_start_[root];
        if (end != begin) match_component(std::span<const uint32_t>(members_).subspan(begin, end - begin));
        begin = end;
    }
}

void ClusterMatcher::toggle_mates(const AdjacencyView& graph) {
    const auto k = static_cast<uint32_t>(defects_.size());
    for (uint32_t i = 0; i < k; ++i) {
        const uint32_t j = mate_[i];
        if (j == kNone) {
            // A detector left unmatched without a way to the boundary (an
            // odd count paired as far as it goes) keeps its parity.
            if (graph.exit_distance[defects_[i]] != kUnreached) toggle_exit(graph, defects_[i]);
        } else if (i < j) {
            shortest_path(local_[defects_[i]], local_[defects_[j]], kUnreached);
            toggle_path(local_[defects_[i]], local_[defects_[j]]);
        }
    }
}

}  // namespace veskar
