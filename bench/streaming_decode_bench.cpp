// Time per round of the committed decoder, frames fed one at a time as a
// stream feeds them, and its latency from a shot's last frame to the shot's
// prediction, with heap allocations counted over the timed passes; and the
// time to build it (best of the passes), which a stream spends at its first
// frame, beside the build of the whole-shot decoder on the same graph.
//
// Two settings per model: one decode per shot (commit_rounds = the shot's
// frames) and committed windows of C = B = the code distance.
//
// Goals: time per round on the 50- and 500-round memories at most
// PyMatching's decode_batch time per round on the same shots (measured by
// bench/streaming_decode.py, which runs this program); the cost per round
// at 500 rounds within 1.2 times that at 50; the 99th percentile of the
// latency under 10 us at distance 5 and under 40 us at distance 7, however
// many rounds; no allocation per frame; a build of about a pass over the
// model (one decode per shot costs the whole-shot decoder's build, which it
// is).
//
//   streaming_decode_bench [--repeats N] [--json] [--setting shot|committed] [MANIFEST]
//
// Without a manifest the shots are sampled here from the repository's
// distance-5 DEMs. A manifest names one model per line:
//   <name> <dem path> <shots path> <distance>
// with shots in the format of tests/data/make_decoder_fixtures.py (true
// flips and PyMatching's predictions included).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "allocation_count.hpp"
#include "decoder/dem_sampler.hpp"
#include "decoder/shot_fixture.hpp"
#include "veskar/decoder/committed_decoder.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kSampledFrames = 200'000;

struct Case {
    std::string name;
    DetectorErrorModel dem;
    uint32_t distance = 0;
    uint32_t ancillas = 0;
    uint32_t frames = 0;  // per shot
    uint32_t shots = 0;
    std::vector<uint8_t> events;  // shots x frames x ancillas, as the frames carry them
    std::vector<uint64_t> truth;
    std::vector<uint64_t> pymatching;  // empty when sampled here
};

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool load_dem(Case& c, const std::string& path) {
    auto dem = DetectorErrorModel::parse(read_text(path));
    if (!dem || dem->detector_count == 0) {
        std::cerr << path << ": no DEM\n";
        return false;
    }
    c.dem = std::move(*dem);
    return true;
}

// Shots sampled from the DEM itself, frames of `ancillas`.
bool sampled_case(Case& c, const std::string& name, uint32_t ancillas, uint32_t distance) {
    c.name = name;
    if (!load_dem(c, std::string(VESKAR_TEST_DATA) + "/dem/" + name + ".dem")) return false;
    c.distance = distance;
    c.ancillas = ancillas;
    c.frames = static_cast<uint32_t>((c.dem.detector_count + ancillas - 1) / ancillas);
    c.shots = static_cast<uint32_t>(std::max<uint64_t>(100, kSampledFrames / c.frames));
    testing_support::DemSampler sampler(c.dem, 20240607);
    std::vector<uint8_t> events;
    const size_t shot_bytes = size_t{c.frames} * ancillas;
    c.events.assign(size_t{c.shots} * shot_bytes, 0);
    for (uint32_t s = 0; s < c.shots; ++s) {
        c.truth.push_back(sampler.sample(events));
        std::copy(events.begin(), events.end(), c.events.begin() + s * shot_bytes);
    }
    return true;
}

bool manifest_case(Case& c, const std::string& line) {
    std::istringstream fields(line);
    std::string dem_path;
    std::string shots_path;
    if (!(fields >> c.name >> dem_path >> shots_path >> c.distance)) return false;
    if (!load_dem(c, dem_path)) return false;
    auto shots = testing_support::read_shot_fixture(shots_path);
    if (!shots || shots->num_detectors != c.dem.detector_count) {
        std::cerr << shots_path << ": no shots for " << dem_path << "\n";
        return false;
    }
    c.ancillas = shots->ancillas_per_round;
    c.frames = shots->window_depth;
    c.shots = shots->num_shots;
    c.events.assign(size_t{c.shots} * shots->num_detectors, 0);
    for (uint32_t s = 0; s < c.shots; ++s) {
        for (uint32_t d = 0; d < shots->num_detectors; ++d) {
            c.events[size_t{s} * shots->num_detectors + d] = shots->fired(s, d) ? 1 : 0;
        }
        c.truth.push_back(shots->truth(s));
        c.pymatching.push_back(shots->pymatching(s));
    }
    return true;
}

struct Figures {
    double build_ms = 0.0;
    uint32_t windows = 0;
    uint32_t decoders = 0;
    double us_per_round = 0.0;  // best pass
    double p50_us = 0.0;        // lowest over the passes
    double p99_us = 0.0;
    uint32_t errors = 0;
    uint64_t allocations = 0;  // over all timed passes
    bool ok = true;
};

double percentile(std::vector<double>& values, double q) {
    const size_t k = std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + k, values.end());
    return values[k];
}

// The best of `repeats` builds, in ms, as a stream builds it at its first
// frame; the last build is kept.
template <class Build>
double best_build_ms(int repeats, Build&& build) {
    double best = 1e300;
    for (int pass = 0; pass < repeats; ++pass) {
        const auto start = Clock::now();
        build();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

Figures measure(const Case& c, const std::shared_ptr<const SpacetimeGraph>& graph, uint32_t commit, uint32_t buffer,
                int repeats) {
    Figures f;
    std::optional<std::expected<CommittedDecoder, CommittedDecoderError>> made;
    f.build_ms = best_build_ms(repeats, [&] {
        made.reset();  // the previous build's memory goes back first, as in a fresh stream
        made.emplace(CommittedDecoder::create(graph, c.ancillas, commit, buffer));
    });
    if (!*made) {
        std::cerr << c.name << ": " << message(made->error()) << "\n";
        f.ok = false;
        return f;
    }
    CommittedDecoder& decoder = **made;
    f.windows = decoder.windows_per_shot();
    f.decoders = decoder.decoder_count();

    const size_t shot_bytes = size_t{c.frames} * c.ancillas;
    std::vector<double> latency(c.shots);
    std::vector<uint64_t> predicted(c.shots);
    f.us_per_round = 1e300;
    f.p50_us = f.p99_us = 1e300;
    for (int pass = 0; pass < repeats; ++pass) {
        const uint64_t allocations_before = g_allocations;
        const auto start = Clock::now();
        for (uint32_t s = 0; s < c.shots; ++s) {
            const uint8_t* shot = c.events.data() + s * shot_bytes;
            for (uint32_t r = 0; r + 1 < c.frames; ++r) {
                const auto result = decoder.push_frame(r, std::span(shot + size_t{r} * c.ancillas, c.ancillas));
                if (!result) f.ok = false;
            }
            const uint32_t r = c.frames - 1;
            const auto before = Clock::now();
            const auto result = decoder.push_frame(r, std::span(shot + size_t{r} * c.ancillas, c.ancillas));
            const auto after = Clock::now();
            latency[s] = std::chrono::duration<double, std::micro>(after - before).count();
            if (!result || result->status != FrameStatus::shot_end) f.ok = false;
            predicted[s] = result ? result->observable_flips : 0;
        }
        const double elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        f.allocations += g_allocations - allocations_before;
        f.us_per_round = std::min(f.us_per_round, elapsed / (double(c.shots) * c.frames));
        f.p50_us = std::min(f.p50_us, percentile(latency, 0.50));
        f.p99_us = std::min(f.p99_us, percentile(latency, 0.99));
    }
    for (uint32_t s = 0; s < c.shots; ++s) f.errors += predicted[s] != c.truth[s];
    return f;
}

}  // namespace
}  // namespace veskar

int main(int argc, char** argv) {
    using namespace veskar;
    int repeats = 5;
    bool json = false;
    std::string only;  // one setting, for profiling
    std::string manifest;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeats" && i + 1 < argc) {
            repeats = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--setting" && i + 1 < argc) {
            only = argv[++i];
        } else if (!arg.empty() && arg[0] != '-') {
            manifest = arg;
        } else {
            std::cerr << "usage: streaming_decode_bench [--repeats N] [--json] [--setting shot|committed] [MANIFEST]\n";
            return 2;
        }
    }

    std::vector<Case> cases;
    if (manifest.empty()) {
        for (const char* name :
             {"surface_d5_r5_p0005", "surface_d5_r50_p0003_folded", "surface_d5_r500_p0003_folded"}) {
            Case c;
            if (!sampled_case(c, name, 24, 5)) return 1;
            cases.push_back(std::move(c));
        }
    } else {
        std::ifstream in(manifest);
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#') continue;
            Case c;
            if (!manifest_case(c, line)) {
                std::cerr << manifest << ": cannot read case \"" << line << "\"\n";
                return 1;
            }
            cases.push_back(std::move(c));
        }
    }

    bool ok = true;
    if (!json) {
        std::printf("%-30s %-16s %7s %9s %9s %9s %8s %8s %7s %7s %9s\n", "model", "setting", "windows", "build ms",
                    "us/round", "frames/s", "p50 us", "p99 us", "goal", "errors", "allocs");
    }
    for (const Case& c : cases) {
        auto graph = std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(c.dem));
        uint32_t pymatching_errors = 0;
        for (size_t s = 0; s < c.pymatching.size(); ++s) pymatching_errors += c.pymatching[s] != c.truth[s];
        const double latency_goal = c.distance <= 5 ? 10.0 : 40.0;
        // The reference for the builds: the whole-shot decoder on the same
        // graph, which one decode per shot builds too.
        double whole_shot_build_ms = 0.0;
        if (only.empty()) {
            std::optional<std::expected<UnionFindDecoder, DecoderError>> whole;
            whole_shot_build_ms = best_build_ms(repeats, [&] {
                whole.reset();
                whole.emplace(UnionFindDecoder::create(graph));
            });
        }
        struct Setting {
            const char* name;
            uint32_t commit;
            uint32_t buffer;
        };
        for (const Setting& setting : {Setting{"shot", c.frames, 0}, Setting{"committed", c.distance, c.distance}}) {
            if (!only.empty() && only != setting.name) continue;
            const Figures f = measure(c, graph, setting.commit, setting.buffer, repeats);
            ok = ok && f.ok;
            if (json) {
                std::printf(
                    "{\"model\": \"%s\", \"setting\": \"%s\", \"commit_rounds\": %u, \"buffer_rounds\": %u, "
                    "\"distance\": %u, \"frames_per_shot\": %u, \"ancillas\": %u, \"shots\": %u, "
                    "\"windows_per_shot\": %u, \"decoders\": %u, \"build_ms\": %.2f, \"whole_shot_build_ms\": %.2f, "
                    "\"us_per_round\": %.4f, "
                    "\"p50_us\": %.3f, \"p99_us\": %.3f, \"errors\": %u, \"pymatching_errors\": %d, "
                    "\"allocations\": %llu, \"ok\": %s}\n",
                    c.name.c_str(), setting.name, setting.commit, setting.buffer, c.distance, c.frames, c.ancillas,
                    c.shots, f.windows, f.decoders, f.build_ms, whole_shot_build_ms, f.us_per_round, f.p50_us, f.p99_us,
                    f.errors, c.pymatching.empty() ? -1 : int(pymatching_errors), (unsigned long long)f.allocations,
                    f.ok ? "true" : "false");
            } else {
                const std::string label = std::string(setting.name) + " C=" + std::to_string(setting.commit) +
                                          " B=" + std::to_string(setting.buffer);
                std::printf("%-30s %-16s %7u %9.2f %9.3f %8.2fM %8.2f %8.2f %6.0f%s %7u %9llu%s\n", c.name.c_str(),
                            label.c_str(), f.windows, f.build_ms, f.us_per_round, 1.0 / f.us_per_round, f.p50_us,
                            f.p99_us, latency_goal, f.p99_us < latency_goal ? " " : "!", f.errors,
                            (unsigned long long)f.allocations, f.ok ? "" : "  FAILED");
            }
        }
        if (!json) {
            std::printf("%-30s %u shots of %u frames x %u ancillas, %zu edges; whole-shot decoder built in %.2f ms%s\n",
                        "", c.shots, c.frames, c.ancillas, graph->edges.size(), whole_shot_build_ms,
                        c.pymatching.empty() ? ""
                                             : (", PyMatching errors " + std::to_string(pymatching_errors)).c_str());
        }
    }
    return ok ? 0 : 1;
}
