// Logical error rates of the Union-Find decoder on sampled shots, beside
// PyMatching's on the same shots and the rate of always predicting no flip.
//
// Usage: decoder_accuracy FIXTURE_DIR
//
// FIXTURE_DIR holds .shots files written by tests/data/make_decoder_fixtures.py:
// tests/data/samples for the shots the tests use, or for all shots of the
// reference samples a directory made with `--shots 20000 --out DIR`. The DEM
// of each is read from tests/data/dem. Goal: at most 1.3 times
// PyMatching's errors on every sample where PyMatching makes at least 100.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "decoder/shot_fixture.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace {

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FIXTURE_DIR\n", argv[0]);
        return 2;
    }
    const fs::path data(VESKAR_DATA);
    const fs::path fixtures(argv[1]);

    std::vector<fs::path> files;
    std::error_code failure;
    for (fs::directory_iterator it(fixtures, failure), end; !failure && it != end; it.increment(failure)) {
        if (it->path().extension() == ".shots") files.push_back(it->path());
    }
    if (files.empty()) {
        std::fprintf(stderr, "no .shots files in %s\n", fixtures.c_str());
        return 1;
    }
    std::sort(files.begin(), files.end());

    std::printf("%-24s %7s %9s %9s %8s %7s %10s %9s\n", "sample", "shots", "decoder", "pymatch", "no flip", "ratio",
                "us/shot", "verdict");
    bool all_good = true;
    for (const fs::path& file : files) {
        const std::string name = file.stem().string();
        auto shots = veskar::testing_support::read_shot_fixture(file.string());
        auto model = veskar::DetectorErrorModel::parse(read_text(data / "dem" / (name + ".dem")));
        if (!shots || !model) {
            std::printf("%-24s unreadable shots or DEM\n", name.c_str());
            all_good = false;
            continue;
        }
        auto decoder = veskar::UnionFindDecoder::create(
            std::make_shared<const veskar::SpacetimeGraph>(veskar::SpacetimeGraph::from_dem(*model)));
        if (!decoder) {
            std::printf("%-24s %s\n", name.c_str(), veskar::message(decoder.error()).c_str());
            all_good = false;
            continue;
        }
        auto window = veskar::SyndromeWindow::create(shots->ancillas_per_round, shots->window_depth);
        size_t errors = 0, pymatching = 0, no_flip = 0;
        double decode_seconds = 0.0;
        for (size_t shot = 0; shot < shots->num_shots; ++shot) {
            shots->push_shot(shot, *window);
            const auto start = std::chrono::steady_clock::now();
            const uint64_t predicted = decoder->decode_window(*window).observable_flips;
            decode_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const uint64_t truth = shots->truth(shot);
            errors += predicted != truth;
            pymatching += shots->pymatching(shot) != truth;
            no_flip += truth != 0;
        }
        const double ratio = pymatching ? static_cast<double>(errors) / static_cast<double>(pymatching) : 0.0;
        const char* verdict = pymatching < 100 ? "too few" : ratio <= 1.3 ? "ok" : "WORSE";
        if (pymatching >= 100 && ratio > 1.3) all_good = false;
        std::printf("%-24s %7u %9zu %9zu %8zu %7.3f %10.3f %9s\n", name.c_str(), shots->num_shots, errors, pymatching,
                    no_flip, ratio, decode_seconds * 1e6 / shots->num_shots, verdict);
    }
    std::printf("goal: decoder errors <= 1.3 x PyMatching's where PyMatching makes >= 100\n");
    return all_good ? 0 : 1;
}
