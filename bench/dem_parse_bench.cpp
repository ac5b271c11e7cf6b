// DEM text parsing and spacetime-graph construction on Stim's own output:
// the flat distance-17, 17-round surface code model (about 6 MB and 100000
// errors, written by Stim when the benchmarks are built: bench/make_dems.py)
// and the folded distance-5, 25-round model (repeat + shift_detectors).
// Goal: at least 50 MB/s of DEM text on one core; graph building linear in
// the number of targets. The reference is the least any parser must do on
// the same text: find every line and every whitespace-separated token.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

constexpr double kGoalMegabytesPerSecond = 50.0;

// The large flat model is built with the benchmarks; the others are the
// tests' copies.
const std::string kLargeFlat = "surface_d17_r17_p0001.dem";

std::string dem_path(const std::string& name) {
    return name == kLargeFlat ? std::string(VESKAR_BUILT_DATA) + "/" + name : std::string(VESKAR_DATA) + "/dem/" + name;
}

const std::string& dem_text(const std::string& name) {
    static std::string texts[3];
    static std::string names[3];
    for (int i = 0; i < 3; ++i) {
        if (names[i] == name) return texts[i];
        if (names[i].empty()) {
            std::ifstream file(dem_path(name));
            std::stringstream buffer;
            buffer << file.rdbuf();
            names[i] = name;
            texts[i] = buffer.str();
            if (texts[i].empty()) std::fprintf(stderr, "cannot read %s\n", dem_path(name).c_str());
            return texts[i];
        }
    }
    std::abort();
}

void report_rate(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * bytes) / 1e6, benchmark::Counter::kIsRate);
    state.counters["goal_MB/s"] = kGoalMegabytesPerSecond;
}

void BM_Parse(benchmark::State& state, const std::string& name) {
    const std::string& text = dem_text(name);
    size_t errors = 0;
    for (auto _ : state) {
        auto model = DetectorErrorModel::parse(text);
        if (!model) {
            state.SkipWithError(message(model.error()).c_str());
            return;
        }
        errors = model->errors.size();
        benchmark::DoNotOptimize(model->detector_count);
        // Releasing the model is the caller's cost, not the parser's.
        state.PauseTiming();
        model = DetectorErrorModel{};
        state.ResumeTiming();
    }
    report_rate(state, text.size());
    state.counters["errors"] = static_cast<double>(errors);
    state.counters["errors/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * errors), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(BM_Parse, surface_d17_r17_flat, kLargeFlat)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parse, surface_d5_r25_folded, std::string("surface_d5_r25_p0001_folded.dem"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parse, surface_d5_r25_flat, std::string("surface_d5_r25_p0001_flat.dem"))
    ->Unit(benchmark::kMillisecond);

// Reference: every line found and split into tokens, nothing interpreted.
void BM_ReferenceTokenScan(benchmark::State& state) {
    const std::string& text = dem_text(kLargeFlat);
    for (auto _ : state) {
        size_t tokens = 0;
        bool in_token = false;
        for (char c : text) {
            const bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
            tokens += (!space && !in_token) ? 1 : 0;
            in_token = !space;
        }
        benchmark::DoNotOptimize(tokens);
    }
    report_rate(state, text.size());
}
BENCHMARK(BM_ReferenceTokenScan)->Unit(benchmark::kMillisecond);

size_t target_count(const DetectorErrorModel& model) {
    size_t targets = 0;
    for (const DemError& e : model.errors) targets += e.detectors.size() + e.observables.size();
    return targets;
}

void BM_Graph(benchmark::State& state, const std::string& name) {
    auto model = DetectorErrorModel::parse(dem_text(name));
    if (!model) {
        state.SkipWithError(message(model.error()).c_str());
        return;
    }
    const size_t targets = target_count(*model);
    size_t edges = 0;
    for (auto _ : state) {
        SpacetimeGraph graph = SpacetimeGraph::from_dem(*model);
        edges = graph.edges.size();
        benchmark::DoNotOptimize(graph.boundary);
        state.PauseTiming();
        graph = SpacetimeGraph{};
        state.ResumeTiming();
    }
    state.counters["edges"] = static_cast<double>(edges);
    state.counters["s/target"] = benchmark::Counter(static_cast<double>(state.iterations() * targets),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_Graph, surface_d17_r17_flat, kLargeFlat)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Graph, surface_d5_r25_folded, std::string("surface_d5_r25_p0001_folded.dem"))
    ->Unit(benchmark::kMillisecond);

// Synthetic models of growing size, every detector declared: a per-node
// search of the declarations would make the largest case take seconds. Time
// per target still rises a little with size because the model's per-error
// vectors stop fitting in cache; the work per target is constant.
void BM_GraphScaling(benchmark::State& state) {
    const auto detectors = static_cast<uint32_t>(state.range(0));
    DetectorErrorModel model;
    model.detector_count = detectors;
    for (uint32_t d = detectors; d-- > 0;) model.detectors.push_back({DetectorCoords{double(d), 0, 0}, d});
    for (uint32_t d = 0; d < detectors; ++d) {
        const uint32_t next = (d + 1) % detectors;
        model.errors.push_back({{d, next}, {}, 0.01, {{{d, next}, {}}}});
        model.errors.push_back({{d}, {0}, 0.002, {{{d}, {0}}}});
    }
    for (auto _ : state) {
        SpacetimeGraph graph = SpacetimeGraph::from_dem(model);
        benchmark::DoNotOptimize(graph.edges.data());
        state.PauseTiming();
        graph = SpacetimeGraph{};
        state.ResumeTiming();
    }
    state.SetComplexityN(static_cast<int64_t>(target_count(model)));
}
BENCHMARK(BM_GraphScaling)
    ->RangeMultiplier(4)
    ->Range(1 << 12, 1 << 18)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace veskar

BENCHMARK_MAIN();
