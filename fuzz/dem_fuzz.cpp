// Fuzzes DEM parsing, spacetime-graph construction and one decode over
// arbitrary text.
//
// A parse either fails with a message or yields a model whose counts exceed
// every index it holds; the graph has one node per detector plus the
// boundary and every endpoint in range; the decoder answers with a mask of
// known observables only, and a second decode of the same syndrome after a
// different one gives the same mask (the working state is reset in full).

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz_input.hpp"
#include "veskar/core/window.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar::fuzz {
namespace {

// Graphs and decoders are built for models up to these sizes only. The
// library's own limits (graphs up to 2^26 detectors, expansions up to 2^23
// units) allow gigabyte-sized models that are checked by unit tests; here
// every run should take milliseconds.
constexpr uint64_t kHarnessDetectors = uint64_t{1} << 16;
constexpr size_t kHarnessErrors = size_t{1} << 16;

void check_model(const DetectorErrorModel& model) {
    std::unordered_set<uint32_t> declared;
    for (const DetectorDecl& decl : model.detectors) {
        VESKAR_FUZZ_CHECK(decl.id < model.detector_count);
        VESKAR_FUZZ_CHECK(declared.insert(decl.id).second, "a detector is declared twice");
    }
    for (const DemError& error : model.errors) {
        for (uint32_t d : error.detectors) VESKAR_FUZZ_CHECK(d < model.detector_count);
        for (uint8_t o : error.observables) VESKAR_FUZZ_CHECK(o < model.observable_count);
        if (error.components.empty()) continue;
        // The components split the flat lists at '^' without losing or adding a target.
        std::vector<uint32_t> detectors;
        std::vector<uint8_t> observables;
        for (const DemComponent& part : error.components) {
            detectors.insert(detectors.end(), part.detectors.begin(), part.detectors.end());
            observables.insert(observables.end(), part.observables.begin(), part.observables.end());
        }
        VESKAR_FUZZ_CHECK(detectors == error.detectors && observables == error.observables);
    }
    VESKAR_FUZZ_CHECK(model.detector_count <= uint64_t{1} << 32);
    VESKAR_FUZZ_CHECK(model.observable_count <= 256);
}

void check_graph(const DetectorErrorModel& model, const SpacetimeGraph& graph) {
    VESKAR_FUZZ_CHECK(graph.node_count() == model.detector_count + 1);
    VESKAR_FUZZ_CHECK(graph.boundary == model.detector_count);
    VESKAR_FUZZ_CHECK(graph.nodes[graph.boundary].detector == kBoundaryDetector);
    VESKAR_FUZZ_CHECK(!graph.nodes[graph.boundary].coords.has_value());
    for (uint64_t i = 0; i < graph.boundary; ++i) VESKAR_FUZZ_CHECK(graph.nodes[i].detector == i);
    size_t targets = 0;
    for (const DemError& error : model.errors) targets += error.detectors.size();
    VESKAR_FUZZ_CHECK(graph.edge_count() <= targets, "more edges than detector targets");
    for (const SpacetimeEdge& edge : graph.edges) {
        VESKAR_FUZZ_CHECK(edge.u < graph.node_count() && edge.v < graph.node_count(), "endpoint out of range");
        VESKAR_FUZZ_CHECK(edge.u != graph.boundary, "the boundary as first endpoint");
        VESKAR_FUZZ_CHECK(std::isfinite(edge.weight), "weight of a usable probability");
        for (uint8_t o : edge.observables) VESKAR_FUZZ_CHECK(o < model.observable_count);
    }
}

void check_mask(uint64_t mask, uint32_t observables) {
    if (observables < 64) VESKAR_FUZZ_CHECK((mask >> observables) == 0, "flip of an observable no edge carries");
}

// Fired detectors drawn from the input's bytes, out-of-range indices and
// repeats included (both are part of the decoder's contract).
std::vector<uint32_t> syndrome(std::span<const uint8_t> seed, uint64_t nodes, size_t offset) {
    std::vector<uint32_t> fired;
    for (size_t i = offset; i < seed.size() && fired.size() < 24; i += 7) {
        uint32_t value = static_cast<uint32_t>(seed[i]) * 131u + static_cast<uint32_t>(i);
        fired.push_back(static_cast<uint32_t>(value % (nodes + 2)));
    }
    return fired;
}

void check_decoder(const SpacetimeGraph& graph, std::span<const uint8_t> data) {
    auto shared = std::make_shared<const SpacetimeGraph>(graph);
    auto created = UnionFindDecoder::create(shared);
    if (!created) {
        VESKAR_FUZZ_CHECK(!message(created.error()).empty());
        VESKAR_FUZZ_CHECK(observable_count(graph) > 64, message(created.error()));
        return;
    }
    UnionFindDecoder& decoder = *created;
    const uint32_t observables = decoder.observable_count();
    VESKAR_FUZZ_CHECK(decoder.node_count() == graph.node_count());

    VESKAR_FUZZ_CHECK(decoder.decode_detectors({}) == 0, "an empty syndrome flipped something");
    const std::vector<uint32_t> a = syndrome(data, graph.node_count(), 0);
    const std::vector<uint32_t> b = syndrome(data, graph.node_count(), 3);
    const uint64_t first = decoder.decode_detectors(a);
    check_mask(first, observables);
    check_mask(decoder.decode_detectors(b), observables);
    VESKAR_FUZZ_CHECK(decoder.decode_detectors(a) == first, "the same syndrome decoded differently");
    // Every detector fired twice cancels out.
    std::vector<uint32_t> twice = a;
    twice.insert(twice.end(), a.begin(), a.end());
    VESKAR_FUZZ_CHECK(decoder.decode_detectors(twice) == 0, "fired twice is not fired at all");

    // The same syndrome through a window: rounds of ancillas laid row by row.
    const uint64_t detectors = graph.boundary;
    if (detectors == 0) return;
    // Every push rebuilds the whole matrix, so filling a window costs depth
    // times its size: keep the depth small.
    const uint64_t ancillas =
        std::min<uint64_t>(detectors, std::max<uint64_t>(1 + data.size() % 17, (detectors + 63) / 64));
    const uint64_t depth = (detectors + ancillas - 1) / ancillas;
    auto window = SyndromeWindow::create(ancillas, depth);
    VESKAR_FUZZ_CHECK(window.has_value(), message(window.error()));
    std::vector<uint8_t> flat(ancillas * depth, 0);
    for (uint32_t d : a) {
        if (d < detectors) flat[d] ^= 1;
    }
    for (uint64_t row = 0; row < depth; ++row) {
        OwnedSyndromeData round;
        round.detector_events.assign(flat.begin() + static_cast<std::ptrdiff_t>(row * ancillas),
                                     flat.begin() + static_cast<std::ptrdiff_t>((row + 1) * ancillas));
        round.frame_id = row;
        window->push_owned(std::move(round));
    }
    std::vector<uint32_t> active = window->active_detectors();
    VESKAR_FUZZ_CHECK(std::is_sorted(active.begin(), active.end()));
    DecoderResult result = decoder.decode_window(*window);
    check_mask(result.observable_flips, observables);
    VESKAR_FUZZ_CHECK(result.corrections.size() == static_cast<size_t>(std::popcount(result.observable_flips)));
    for (const LogicalCorrection& c : result.corrections) {
        VESKAR_FUZZ_CHECK(c.logical_id < 64 && (result.observable_flips >> c.logical_id & 1));
    }
    VESKAR_FUZZ_CHECK(result.confidence == (active.empty() ? kConfidenceNothingToDecode : kConfidenceDecoded));
    VESKAR_FUZZ_CHECK(result.observable_flips == decoder.decode_detectors(active), "window and list disagree");
}

void run(std::span<const uint8_t> data) {
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    auto model = DetectorErrorModel::parse(text);
    if (!model) {
        VESKAR_FUZZ_CHECK(!message(model.error()).empty());
        return;
    }
    check_model(*model);
    if (model->detector_count > kMaxGraphDetectors) {
        auto refused = SpacetimeGraph::try_from_dem(*model);
        VESKAR_FUZZ_CHECK(!refused, "a graph beyond the limit was built");
        VESKAR_FUZZ_CHECK(std::get<graph_error::TooManyDetectors>(refused.error()).detector_count ==
                          model->detector_count);
        return;
    }
    if (model->detector_count > kHarnessDetectors || model->errors.size() > kHarnessErrors) return;
    auto graph = SpacetimeGraph::try_from_dem(*model);
    // Within the limit, only a hyperedge that cannot be decomposed is refused.
    if (!graph) {
        VESKAR_FUZZ_CHECK(std::holds_alternative<DecomposeError>(graph.error()),
                          "a graph within the limit was refused");
        return;
    }
    check_graph(*model, *graph);
    check_decoder(*graph, data);
}

}  // namespace
}  // namespace veskar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    veskar::fuzz::run(std::span<const uint8_t>(data, size));
    return 0;
}
