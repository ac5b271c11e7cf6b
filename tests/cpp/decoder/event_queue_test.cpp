#include "veskar/decoder/event_queue.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace veskar {
namespace {

TEST(EventQueue, PopsEarliestFirstAndMovesRescheduledEdges) {
    EventQueue queue;
    queue.resize(4, 1000);
    EXPECT_TRUE(queue.empty());
    queue.schedule(0, 500);
    queue.schedule(1, 20);
    queue.schedule(2, 999);
    queue.schedule(0, 10);  // moved, not queued twice
    queue.schedule(3, 40);
    queue.cancel(3);
    EXPECT_EQ(queue.due(3), EventQueue::kIdle);
    EXPECT_EQ(queue.pop(), 0u);
    EXPECT_EQ(queue.now(), 10);
    EXPECT_EQ(queue.pop(), 1u);
    EXPECT_EQ(queue.pop(), 2u);
    EXPECT_EQ(queue.now(), 999);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.due(0), EventQueue::kIdle);
}

// Against a plain scan for the minimum: random schedules, moves and cancels,
// every time within the promised reach of the last pop, across many laps of
// the ring of buckets and across clear().
TEST(EventQueue, AgreesWithAPlainScanOverManyLapsOfTheRing) {
    std::mt19937_64 rng(5);
    for (const int64_t reach : {int64_t{0}, int64_t{1}, int64_t{63}, int64_t{1000}, int64_t{65536}}) {
        constexpr uint32_t kEdges = 50;
        EventQueue queue;
        queue.resize(kEdges, reach);
        std::vector<int64_t> due(kEdges, EventQueue::kIdle);
        for (int round = 0; round < 3; ++round) {
            int64_t now = 0;
            for (int op = 0; op < 4000; ++op) {
                const uint32_t edge = rng() % kEdges;
                if (rng() % 5 == 0) {
                    queue.cancel(edge);
                    due[edge] = EventQueue::kIdle;
                } else if (rng() % 3 != 0) {
                    const int64_t time = now + static_cast<int64_t>(rng() % (reach + 1));
                    queue.schedule(edge, time);
                    due[edge] = time;
                } else if (!queue.empty()) {
                    int64_t earliest = EventQueue::kIdle;
                    for (int64_t t : due) earliest = std::min(earliest, t);
                    const uint32_t popped = queue.pop();
                    ASSERT_EQ(due[popped], earliest) << "reach " << reach << " op " << op;
                    ASSERT_EQ(queue.now(), earliest);
                    due[popped] = EventQueue::kIdle;
                    now = earliest;
                }
                for (uint32_t e = 0; e < kEdges; ++e) ASSERT_EQ(queue.due(e), due[e]);
                bool any = false;
                for (int64_t t : due) any = any || t != EventQueue::kIdle;
                ASSERT_EQ(queue.empty(), !any);
            }
            queue.clear();
            EXPECT_TRUE(queue.empty());
            EXPECT_EQ(queue.now(), 0);
            for (uint32_t e = 0; e < kEdges; ++e) EXPECT_EQ(queue.due(e), EventQueue::kIdle);
            due.assign(kEdges, EventQueue::kIdle);
        }
    }
}

}  // namespace
}  // namespace veskar
