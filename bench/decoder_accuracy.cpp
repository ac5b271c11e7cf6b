// Decodes a file of bit-packed shots with the Union-Find decoder and writes
// its bit-packed predictions, the way PyMatching's decode_batch takes and
// gives them: the C++ side of bench/decode_accuracy.py, which samples the
// shots with Stim, decodes them with PyMatching too and prints the table.
//
// Usage: decoder_accuracy DEM SHOTS PREDICTIONS [REPEATS]
//
// SHOTS holds ceil(detectors / 8) bytes per shot, bit d of a shot being bit
// d % 8 of its byte d / 8 (Stim's b8 format, numpy's bitorder "little");
// PREDICTIONS gets ceil(observables / 8) bytes per shot in the same order.
// The decode is timed REPEATS times (default 3) over all shots, reading each
// shot's fired detectors from its bytes included, and the best is printed.

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Decodes every shot; returns the seconds taken. Kept out of line so that
// profilers can count its instructions alone.
[[gnu::noinline]] double decode_all(veskar::UnionFindDecoder& decoder, const std::string& shots, size_t shot_bytes,
                                    std::vector<uint8_t>& predictions, size_t prediction_bytes,
                                    std::vector<uint32_t>& fired) {
    const size_t count = shots.size() / shot_bytes;
    const auto* data = reinterpret_cast<const uint8_t*>(shots.data());
    const auto start = std::chrono::steady_clock::now();
    for (size_t shot = 0; shot < count; ++shot) {
        const uint8_t* bytes = data + shot * shot_bytes;
        fired.clear();
        for (size_t b = 0; b < shot_bytes; ++b) {
            for (unsigned rest = bytes[b]; rest != 0; rest &= rest - 1) {
                fired.push_back(static_cast<uint32_t>(8 * b + std::countr_zero(rest)));
            }
        }
        const uint64_t mask = decoder.decode_detectors(fired);
        uint8_t* out = predictions.data() + shot * prediction_bytes;
        for (size_t i = 0; i < prediction_bytes; ++i) out[i] = static_cast<uint8_t>(mask >> (8 * i));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s DEM SHOTS PREDICTIONS [REPEATS]\n", argv[0]);
        return 2;
    }
    const int repeats = argc == 5 ? std::max(1, std::atoi(argv[4])) : 3;
    auto model = veskar::DetectorErrorModel::parse(read_file(argv[1]));
    if (!model) {
        std::fprintf(stderr, "%s: %s\n", argv[1], veskar::message(model.error()).c_str());
        return 1;
    }
    auto graph = veskar::SpacetimeGraph::try_from_dem(*model);
    if (!graph) {
        std::fprintf(stderr, "%s: %s\n", argv[1], veskar::message(graph.error()).c_str());
        return 1;
    }
    auto decoder = veskar::UnionFindDecoder::create(std::make_shared<const veskar::SpacetimeGraph>(std::move(*graph)));
    if (!decoder) {
        std::fprintf(stderr, "%s: %s\n", argv[1], veskar::message(decoder.error()).c_str());
        return 1;
    }
    const std::string shots = read_file(argv[2]);
    const size_t shot_bytes = std::max<size_t>(1, (model->detector_count + 7) / 8);
    if (shots.size() % shot_bytes != 0) {
        std::fprintf(stderr, "%s: %zu bytes is no whole number of %zu-byte shots\n", argv[2], shots.size(), shot_bytes);
        return 1;
    }
    const size_t count = shots.size() / shot_bytes;
    const size_t prediction_bytes = std::max<size_t>(1, (decoder->observable_count() + 7) / 8);
    std::vector<uint8_t> predictions(count * prediction_bytes);
    std::vector<uint32_t> fired;
    fired.reserve(model->detector_count);

    double best = 0.0;
    for (int r = 0; r < repeats; ++r) {
        const double seconds = decode_all(*decoder, shots, shot_bytes, predictions, prediction_bytes, fired);
        best = r == 0 ? seconds : std::min(best, seconds);
    }
    std::ofstream out(argv[3], std::ios::binary);
    out.write(reinterpret_cast<const char*>(predictions.data()), static_cast<std::streamsize>(predictions.size()));
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", argv[3]);
        return 1;
    }
    std::printf("shots=%zu seconds=%.9f\n", count, best);
    return 0;
}
