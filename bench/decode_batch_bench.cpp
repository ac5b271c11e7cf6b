// Batch decoding of whole shots: ShotBatchDecoder::decode_batch over
// Stim-sampled, bit-packed shots of rotated surface-code memory experiments,
// one benchmark per case. bench/make_batch_shots.py writes the cases into a
// directory as CASE.dem and CASE.b8; bench/decode_batch.py runs this program
// case by case and prints PyMatching's decode_batch time on the same shots
// beside it, with the goal: veskar's time per shot at most PyMatching's.
//
// Usage: decode_batch_bench [DIR] [benchmark flags]
//
// DIR defaults to batch_shots/ in the build directory. One iteration decodes
// every shot of the case once; items_per_second counts shots. After the
// timing, the predictions of the last pass are written to
// DIR/CASE.predictions.b8 (bit-packed, one observable bit per shot) so that
// the caller can check them.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "veskar/decoder/shot_batch.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Case {
    std::optional<ShotBatchDecoder> decoder;
    std::vector<uint8_t> shots;
    std::vector<uint8_t> predictions;
    uint64_t num_shots = 0;
    uint64_t shot_bytes = 0;
    uint64_t prediction_bytes = 0;
    double fired_per_shot = 0;
    double quiet_shots = 0;  // share of shots without a fired detector
    std::string error;
};

Case load_case(const fs::path& dem_path) {
    Case work;
    auto model = DetectorErrorModel::parse(read_file(dem_path));
    if (!model) {
        work.error = message(model.error());
        return work;
    }
    auto decoder = UnionFindDecoder::create(std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*model)));
    if (!decoder) {
        work.error = message(decoder.error());
        return work;
    }
    work.decoder.emplace(std::move(*decoder), static_cast<uint32_t>(model->observable_count));
    const std::string bytes = read_file(fs::path(dem_path).replace_extension(".b8"));
    work.shots.assign(bytes.begin(), bytes.end());
    work.shot_bytes = row_columns(work.decoder->num_detectors(), BitLayout::kPacked);
    if (work.shot_bytes == 0 || work.shots.size() % work.shot_bytes != 0) {
        work.error = "shot file does not hold whole shots of the model's detectors";
        return work;
    }
    work.num_shots = work.shots.size() / work.shot_bytes;
    work.prediction_bytes = row_columns(work.decoder->num_observables(), BitLayout::kPacked);
    work.predictions.assign(work.num_shots * work.prediction_bytes, 0);
    uint64_t fired = 0;
    uint64_t quiet = 0;
    for (uint64_t s = 0; s < work.num_shots; ++s) {
        uint64_t count = 0;
        for (uint64_t b = 0; b < work.shot_bytes; ++b) count += std::popcount(work.shots[s * work.shot_bytes + b]);
        fired += count;
        quiet += count == 0;
    }
    work.fired_per_shot = static_cast<double>(fired) / static_cast<double>(work.num_shots);
    work.quiet_shots = static_cast<double>(quiet) / static_cast<double>(work.num_shots);
    return work;
}

void BM_DecodeBatch(benchmark::State& state, const fs::path& dem_path) {
    // Loaded on first use, so that a filtered run reads only its case.
    static std::vector<std::pair<fs::path, std::unique_ptr<Case>>> loaded;
    auto it = std::find_if(loaded.begin(), loaded.end(), [&](const auto& entry) { return entry.first == dem_path; });
    if (it == loaded.end()) it = loaded.insert(loaded.end(), {dem_path, std::make_unique<Case>(load_case(dem_path))});
    Case& work = *it->second;
    if (!work.error.empty()) {
        state.SkipWithError(work.error.c_str());
        return;
    }
    const ShotRows shots{work.shots.data(), work.num_shots, work.shot_bytes, static_cast<int64_t>(work.shot_bytes), 1,
                         BitLayout::kPacked};
    const PredictionRows predictions{
        work.predictions.data(), work.num_shots, work.prediction_bytes, static_cast<int64_t>(work.prediction_bytes), 1,
        BitLayout::kPacked};
    for (auto _ : state) {
        if (!work.decoder->decode_batch(shots, predictions)) {
            state.SkipWithError("decode_batch refused the shots");
            return;
        }
        benchmark::DoNotOptimize(work.predictions.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * work.num_shots));
    state.counters["shots"] = static_cast<double>(work.num_shots);
    state.counters["fired_per_shot"] = work.fired_per_shot;
    state.counters["quiet_shots"] = work.quiet_shots;

    std::ofstream out(fs::path(dem_path).replace_extension(".predictions.b8"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(work.predictions.data()),
              static_cast<std::streamsize>(work.predictions.size()));
}

}  // namespace
}  // namespace veskar

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    benchmark::Initialize(&argc, argv);
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::path(VESKAR_BATCH_SHOTS);
    std::vector<fs::path> cases;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const fs::path& path = entry.path();
        if (path.extension() == ".dem" && fs::exists(fs::path(path).replace_extension(".b8"))) cases.push_back(path);
    }
    if (cases.empty()) {
        std::printf("no cases in %s: write them with `python bench/make_batch_shots.py --out %s`\n",
                    dir.string().c_str(), dir.string().c_str());
        return 0;
    }
    std::sort(cases.begin(), cases.end());
    for (const fs::path& path : cases) {
        benchmark::RegisterBenchmark(("BM_DecodeBatch/" + path.stem().string()).c_str(), veskar::BM_DecodeBatch, path)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
