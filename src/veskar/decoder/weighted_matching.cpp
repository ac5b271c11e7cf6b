#include "veskar/decoder/weighted_matching.hpp"

#include <algorithm>
#include <utility>

namespace veskar {

namespace {

constexpr int64_t kInfinite = std::numeric_limits<int64_t>::max() / 4;

}  // namespace

MaxWeightMatching::MaxWeightMatching(uint32_t capacity) : capacity_(capacity), stride_(2 * capacity + 1) {
    const size_t slots = stride_;
    edges_.resize(slots * slots);
    flower_from_.resize(slots * (size_t{capacity} + 1));
    flower_.resize(slots);
    for (std::vector<uint32_t>& f : flower_) f.reserve(size_t{capacity} + 1);
    label_.resize(slots);
    match_.resize(slots);
    slack_.resize(slots);
    top_.resize(slots);
    parent_.resize(slots);
    side_.resize(slots);
    visited_.resize(slots);
    queue_.resize(size_t{capacity} + 1);
    neighbours_.resize((size_t{capacity} + 1) * (size_t{capacity} + 1));
    degree_.resize(size_t{capacity} + 1);
    queued_.resize(size_t{capacity} + 1);
}

void MaxWeightMatching::reset(uint32_t vertices) {
    n_ = std::min(vertices, capacity_);
    // Laid out for this graph's size: its rows stay close together.
    stride_ = 2 * n_ + 1;
    for (uint32_t u = 1; u <= n_; ++u) {
        for (uint32_t v = 1; v <= n_; ++v) g(u, v) = Edge{u, v, 0};
    }
}

void MaxWeightMatching::set_weight(uint32_t a, uint32_t b, int64_t weight) {
    if (a == b || a >= n_ || b >= n_) return;
    // Doubled: every dual variable then stays an integer.
    const int64_t w = weight > 0 ? 2 * weight : 0;
    g(a + 1, b + 1).w = w;
    g(b + 1, a + 1).w = w;
}

// Each vertex's edges as a list: the graphs matched here are sparse, and
// the scans of a vertex's edges dominate.
void MaxWeightMatching::list_neighbours() {
    for (uint32_t u = 1; u <= n_; ++u) {
        uint32_t count = 0;
        uint32_t* const list = &neighbours_[size_t{u} * (n_ + 1)];
        for (uint32_t v = 1; v <= n_; ++v) {
            if (g(u, v).w > 0) list[count++] = v;
        }
        degree_[u] = count;
    }
}

uint32_t MaxWeightMatching::mate(uint32_t vertex) const {
    if (vertex >= n_ || match_[vertex + 1] == 0) return kUnmatched;
    return match_[vertex + 1] - 1;
}

void MaxWeightMatching::update_slack(uint32_t u, uint32_t x) {
    if (slack_[x] == 0 || slack_of(g(u, x)) < slack_of(g(slack_[x], x))) slack_[x] = u;
}

void MaxWeightMatching::set_slack(uint32_t x) {
    slack_[x] = 0;
    if (x <= n_) {
        const uint32_t* const list = &neighbours_[size_t{x} * (n_ + 1)];
        for (uint32_t i = 0; i < degree_[x]; ++i) {
            const uint32_t u = list[i];
            if (top_[u] != x && side_[top_[u]] == 0) update_slack(u, x);
        }
        return;
    }
    for (uint32_t u = 1; u <= n_; ++u) {
        if (g(u, x).w > 0 && top_[u] != x && side_[top_[u]] == 0) update_slack(u, x);
    }
}

void MaxWeightMatching::push(uint32_t x) {
    if (x <= n_) {
        if (queued_[x]) return;
        queued_[x] = 1;
        queue_[(queue_head_ + queue_size_) % (n_ + 1)] = x;
        ++queue_size_;
        return;
    }
    for (uint32_t sub : flower_[x]) push(sub);
}

void MaxWeightMatching::clear_queue() {
    for (; queue_size_ != 0; --queue_size_) {
        queued_[queue_[queue_head_]] = 0;
        queue_head_ = (queue_head_ + 1) % (n_ + 1);
    }
    queue_head_ = 0;
}

void MaxWeightMatching::set_top(uint32_t x, uint32_t b) {
    top_[x] = b;
    if (x > n_) {
        for (uint32_t sub : flower_[x]) set_top(sub, b);
    }
}

// Position of sub-blossom xr in blossom b, counted along the even-length
// side of the cycle from the base; turns the cycle round when needed.
uint32_t MaxWeightMatching::even_position(uint32_t b, uint32_t xr) {
    std::vector<uint32_t>& f = flower_[b];
    const auto pr = static_cast<uint32_t>(std::find(f.begin(), f.end(), xr) - f.begin());
    if (pr % 2 == 1) {
        std::reverse(f.begin() + 1, f.end());
        return static_cast<uint32_t>(f.size()) - pr;
    }
    return pr;
}

void MaxWeightMatching::set_match(uint32_t u, uint32_t v) {
    match_[u] = g(u, v).v;
    if (u <= n_) return;
    const Edge e = g(u, v);
    const uint32_t xr = flower_from(u, e.u);
    const uint32_t pr = even_position(u, xr);
    std::vector<uint32_t>& f = flower_[u];
    for (uint32_t i = 0; i < pr; ++i) set_match(f[i], f[i ^ 1]);
    set_match(xr, v);
    std::rotate(f.begin(), f.begin() + pr, f.end());
}

void MaxWeightMatching::augment(uint32_t u, uint32_t v) {
    for (;;) {
        const uint32_t xnv = top_[match_[u]];
        set_match(u, v);
        if (xnv == 0) return;
        set_match(xnv, top_[parent_[xnv]]);
        u = top_[parent_[xnv]];
        v = xnv;
    }
}

uint32_t MaxWeightMatching::common_ancestor(uint32_t u, uint32_t v) {
    if (++visit_stamp_ == 0) {
        std::fill(visited_.begin(), visited_.end(), 0);
        visit_stamp_ = 1;
    }
    for (; u != 0 || v != 0; std::swap(u, v)) {
        if (u == 0) continue;
        if (visited_[u] == visit_stamp_) return u;
        visited_[u] = visit_stamp_;
        u = top_[match_[u]];
        if (u != 0) u = top_[parent_[u]];
    }
    return 0;
}

void MaxWeightMatching::add_blossom(uint32_t u, uint32_t lca, uint32_t v) {
    uint32_t b = n_ + 1;
    while (b <= n_x_ && top_[b] != 0) ++b;
    if (b > n_x_) ++n_x_;
    label_[b] = 0;
    side_[b] = 0;
    match_[b] = match_[lca];
    std::vector<uint32_t>& f = flower_[b];
    f.clear();
    f.push_back(lca);
    for (uint32_t x = u, y; x != lca; x = top_[parent_[y]]) {
        f.push_back(x);
        y = top_[match_[x]];
        f.push_back(y);
        push(y);
    }
    std::reverse(f.begin() + 1, f.end());
    for (uint32_t x = v, y; x != lca; x = top_[parent_[y]]) {
        f.push_back(x);
        y = top_[match_[x]];
        f.push_back(y);
        push(y);
    }
    set_top(b, b);
    for (uint32_t x = 1; x <= n_x_; ++x) g(b, x).w = g(x, b).w = 0;
    for (uint32_t x = 1; x <= n_; ++x) flower_from(b, x) = 0;
    for (uint32_t xs : f) {
        for (uint32_t x = 1; x <= n_x_; ++x) {
            if (g(xs, x).w > 0 && (g(b, x).w == 0 || slack_of(g(xs, x)) < slack_of(g(b, x)))) {
                g(b, x) = g(xs, x);
                g(x, b) = g(x, xs);
            }
        }
        for (uint32_t x = 1; x <= n_; ++x) {
            if (flower_from(xs, x) != 0) flower_from(b, x) = xs;
        }
    }
    set_slack(b);
}

void MaxWeightMatching::expand_blossom(uint32_t b) {
    std::vector<uint32_t>& f = flower_[b];
    for (uint32_t sub : f) set_top(sub, sub);
    const uint32_t xr = flower_from(b, g(b, parent_[b]).u);
    const uint32_t pr = even_position(b, xr);
    for (uint32_t i = 0; i < pr; i += 2) {
        const uint32_t xs = f[i];
        const uint32_t xns = f[i + 1];
        parent_[xs] = g(xns, xs).u;
        side_[xs] = 1;
        side_[xns] = 0;
        slack_[xs] = 0;
        set_slack(xns);
        push(xns);
    }
    side_[xr] = 1;
    parent_[xr] = parent_[b];
    for (size_t i = pr + 1; i < f.size(); ++i) {
        side_[f[i]] = -1;
        set_slack(f[i]);
    }
    top_[b] = 0;
}

bool MaxWeightMatching::on_tight_edge(const Edge& e) {
    const uint32_t u = top_[e.u];
    const uint32_t v = top_[e.v];
    if (side_[v] == -1) {
        parent_[v] = e.u;
        side_[v] = 1;
        const uint32_t nu = top_[match_[v]];
        slack_[v] = slack_[nu] = 0;
        side_[nu] = 0;
        push(nu);
    } else if (side_[v] == 0) {
        const uint32_t lca = common_ancestor(u, v);
        if (lca == 0) {
            augment(u, v);
            augment(v, u);
            return true;
        }
        add_blossom(u, lca, v);
    }
    return false;
}

// One stage: grows alternating trees from every free vertex, changing the
// duals, until an augmenting path is found (true) or no positive-weight
// augmentation remains (false).
bool MaxWeightMatching::augment_once() {
    for (uint32_t x = 1; x <= n_x_; ++x) {
        side_[x] = -1;
        slack_[x] = 0;
    }
    clear_queue();
    for (uint32_t x = 1; x <= n_x_; ++x) {
        if (top_[x] == x && match_[x] == 0) {
            parent_[x] = 0;
            side_[x] = 0;
            push(x);
        }
    }
    if (queue_size_ == 0) return false;
    for (;;) {
        while (queue_size_ != 0) {
            const uint32_t u = queue_[queue_head_];
            queued_[u] = 0;
            queue_head_ = (queue_head_ + 1) % (n_ + 1);
            --queue_size_;
            if (side_[top_[u]] == 1) continue;
            const uint32_t* const list = &neighbours_[size_t{u} * (n_ + 1)];
            for (uint32_t i = 0; i < degree_[u]; ++i) {
                const uint32_t v = list[i];
                if (top_[u] == top_[v]) continue;
                if (slack_of(g(u, v)) == 0) {
                    if (on_tight_edge(g(u, v))) return true;
                } else {
                    update_slack(u, top_[v]);
                }
            }
        }
        int64_t d = kInfinite;
        for (uint32_t b = n_ + 1; b <= n_x_; ++b) {
            if (top_[b] == b && side_[b] == 1) d = std::min(d, label_[b] / 2);
        }
        for (uint32_t x = 1; x <= n_x_; ++x) {
            if (top_[x] != x || slack_[x] == 0) continue;
            if (side_[x] == -1) {
                d = std::min(d, slack_of(g(slack_[x], x)));
            } else if (side_[x] == 0) {
                d = std::min(d, slack_of(g(slack_[x], x)) / 2);
            }
        }
        for (uint32_t u = 1; u <= n_; ++u) {
            if (side_[top_[u]] == 0) {
                if (label_[u] <= d) return false;
                label_[u] -= d;
            } else if (side_[top_[u]] == 1) {
                label_[u] += d;
            }
        }
        for (uint32_t b = n_ + 1; b <= n_x_; ++b) {
            if (top_[b] != b) continue;
            if (side_[b] == 0) {
                label_[b] += 2 * d;
            } else if (side_[b] == 1) {
                label_[b] -= 2 * d;
            }
        }
        clear_queue();
        for (uint32_t x = 1; x <= n_x_; ++x) {
            if (top_[x] == x && slack_[x] != 0 && top_[slack_[x]] != x && slack_of(g(slack_[x], x)) == 0) {
                if (on_tight_edge(g(slack_[x], x))) return true;
            }
        }
        for (uint32_t b = n_ + 1; b <= n_x_; ++b) {
            if (top_[b] == b && side_[b] == 1 && label_[b] == 0) expand_blossom(b);
        }
    }
}

void MaxWeightMatching::solve() {
    n_x_ = n_;
    int64_t heaviest = 0;
    for (uint32_t u = 0; u <= 2 * n_; ++u) {
        top_[u] = u <= n_ ? u : 0;
        match_[u] = 0;
        flower_[u].clear();
    }
    for (uint32_t u = 1; u <= n_; ++u) {
        for (uint32_t v = 1; v <= n_; ++v) {
            flower_from(u, v) = u == v ? u : 0;
            heaviest = std::max(heaviest, g(u, v).w);
        }
    }
    for (uint32_t u = 1; u <= n_; ++u) label_[u] = heaviest;
    list_neighbours();
    while (augment_once()) {
    }
    clear_queue();
}

}  // namespace veskar
