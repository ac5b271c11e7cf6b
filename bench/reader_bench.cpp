// Reader throughput over an in-memory recording of one million 24-ancilla
// frames (a distance-5 surface code round: header, short run-length code,
// 24 results, trailer), validation on, and CRC-32 speed.
// Goal: at least 10 million frames per second on one core, no heap allocation
// per frame.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/memory_source.hpp"
#include "support/tolm_builder.hpp"
#include "veskar/deserialize/crc32.hpp"
#include "veskar/deserialize/stream.hpp"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

void* operator new(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace veskar {
namespace {

constexpr uint64_t kFrames = 1'000'000;

const std::vector<uint8_t>& recording() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> out = testing_support::file_header();
        auto one = testing_support::frame_bytes(testing_support::surface_round(1));
        out.reserve(out.size() + kFrames * one.size());
        for (uint64_t id = 1; id <= kFrames; ++id) {
            auto frame = testing_support::frame_bytes(testing_support::surface_round(id));
            out.insert(out.end(), frame.begin(), frame.end());
        }
        return out;
    }();
    return bytes;
}

void BM_NextFrame(benchmark::State& state) {
    const auto& bytes = recording();
    uint64_t frames = 0;
    uint64_t allocations = 0;
    for (auto _ : state) {
        TolmStream stream(std::make_unique<testing_support::MemorySource>(std::span<const uint8_t>(bytes)));
        uint64_t before = g_allocations.load(std::memory_order_relaxed);
        uint64_t fired = 0;
        for (;;) {
            auto next = stream.next_frame();
            if (!next || *next != NextStatus::Frame) break;
            fired += stream.frame().detector_event_count();
            ++frames;
        }
        allocations += g_allocations.load(std::memory_order_relaxed) - before;
        benchmark::DoNotOptimize(fired);
    }
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["allocs_per_frame"] = frames ? static_cast<double>(allocations) / frames : 0.0;
    state.counters["goal_frames_per_s"] = 10e6;
}
BENCHMARK(BM_NextFrame)->Unit(benchmark::kMillisecond);

void BM_Crc32(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc32(data));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Crc32)->Arg(36)->Arg(1 << 20);

}  // namespace
}  // namespace veskar

BENCHMARK_MAIN();
