#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

#include "veskar/core/prefetch.hpp"

namespace veskar {

// The edges due to fill, each at most once, popped earliest first.
//
// Growth bounds how far ahead anything is due: an edge never has more left
// to grow than its weight and grows by at least one per unit of time, so
// every due time lies within the heaviest weight of the last time popped.
// The queue is therefore a ring of 256 buckets, each a fixed span of times,
// covering more than that reach; the ring is walked with a mask of the
// buckets in use, four 64-bit words. Each bucket is a doubly linked list
// threaded through per-edge arrays, so moving an edge is O(1), no stale
// entry is ever left behind, and nothing is allocated after construction.
// Popping takes the earliest of the first non-empty bucket, which narrow
// buckets keep short; events of equal time pop in no particular order.
class EventQueue {
   public:
    static constexpr int64_t kIdle = std::numeric_limits<int64_t>::max();

    // For edges 0..edge_count-1 due at most max_wait after the last pop.
    void resize(uint32_t edge_count, int64_t max_wait) {
        slot_.assign(edge_count, Slot{kIdle, kNone, kNone});
        // The ring must hold now .. now + max_wait in distinct buckets, with
        // one more for the partial span at each end.
        shift_ = 0;
        while ((max_wait >> shift_) + 2 > kBuckets) ++shift_;
        for (uint32_t& head : head_) head = kNone;
        for (uint64_t& word : occupied_) word = 0;
        now_ = 0;
    }

    void warm() const { prefetch_all(slot_); }

    bool empty() const { return (occupied_[0] | occupied_[1] | occupied_[2] | occupied_[3]) == 0; }
    // When the edge is due; kIdle when it is not queued.
    int64_t due(uint32_t edge) const { return slot_[edge].due; }
    // Time of the last pop: 0 after clear().
    int64_t now() const { return now_; }

    // Queues the edge at `time` (>= now()), moving it if already queued.
    [[gnu::always_inline]] void schedule(uint32_t edge, int64_t time) {
        Slot& slot = slot_[edge];
        const int64_t due = slot.due;
        if (due == time) return;
        if (due != kIdle) unlink(edge, due);
        slot.due = time;
        const uint32_t b = bucket_of(time);
        const uint32_t head = head_[b];
        slot.next = head;
        slot.prev = kNone;
        if (head != kNone) slot_[head].prev = edge;
        head_[b] = edge;
        occupied_[b >> 6] |= uint64_t{1} << (b & 63);
    }

    void cancel(uint32_t edge) {
        const int64_t due = slot_[edge].due;
        if (due == kIdle) return;
        unlink(edge, due);
        slot_[edge].due = kIdle;
    }

    // Removes and returns the edge due first, which becomes now(); the queue
    // must not be empty.
    [[gnu::always_inline]] uint32_t pop() {
        // Buckets from now's onward, wrapping round the ring.
        const uint32_t start = bucket_of(now_);
        uint32_t word = start >> 6;
        uint64_t bits = occupied_[word] & (~uint64_t{0} << (start & 63));
        while (bits == 0) {
            word = (word + 1) & (kWords - 1);
            bits = occupied_[word];
        }
        const uint32_t b = word * 64 + static_cast<uint32_t>(std::countr_zero(bits));
        uint32_t best = head_[b];
        int64_t best_due = slot_[best].due;
        for (uint32_t e = slot_[best].next; e != kNone; e = slot_[e].next) {
            if (slot_[e].due < best_due) {
                best = e;
                best_due = slot_[e].due;
            }
        }
        unlink(best, best_due);
        slot_[best].due = kIdle;
        now_ = best_due;
        return best;
    }

    // Empties the queue and sets now() back to 0.
    void clear() {
        for (uint32_t word = 0; word < kWords; ++word) {
            for (uint64_t rest = occupied_[word]; rest != 0; rest &= rest - 1) {
                const uint32_t b = word * 64 + static_cast<uint32_t>(std::countr_zero(rest));
                for (uint32_t e = head_[b]; e != kNone; e = slot_[e].next) slot_[e].due = kIdle;
                head_[b] = kNone;
            }
            occupied_[word] = 0;
        }
        now_ = 0;
    }

   private:
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    static constexpr uint32_t kBuckets = 256;
    static constexpr uint32_t kWords = kBuckets / 64;

    [[gnu::always_inline]] uint32_t bucket_of(int64_t time) const {
        return static_cast<uint32_t>(time >> shift_) & (kBuckets - 1);
    }

    [[gnu::always_inline]] void unlink(uint32_t edge, int64_t due) {
        const uint32_t next = slot_[edge].next;
        const uint32_t prev = slot_[edge].prev;
        if (next != kNone) slot_[next].prev = prev;
        if (prev != kNone) {
            slot_[prev].next = next;
        } else {
            const uint32_t b = bucket_of(due);
            head_[b] = next;
            if (next == kNone) occupied_[b >> 6] &= ~(uint64_t{1} << (b & 63));
        }
    }

    // Per edge, what scheduling it touches, in one place.
    struct Slot {
        int64_t due;
        uint32_t next;
        uint32_t prev;
    };
    std::vector<Slot> slot_;
    uint32_t head_[kBuckets];
    uint64_t occupied_[kWords] = {};  // bit b % 64 of word b / 64: bucket b is not empty
    int64_t now_ = 0;
    int shift_ = 0;  // a bucket spans 2^shift_ units of time
};

}  // namespace veskar
