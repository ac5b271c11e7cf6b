#include "veskar/decoder/shot_batch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "shot_fixture.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

// Where a batch's bytes sit: the layout and the signs and sizes of the
// strides, as NumPy views (a[::-1], a[:, ::2], a[:, ::-1]) make them.
struct Geometry {
    BitLayout layout;
    int column_step;  // distance between columns, in bytes; negative: reversed
    bool reversed_rows;
    // Bytes between the end of one row and the start of the next.
    int row_gap;
};

// A matrix of bits laid out in memory by a Geometry, every byte that is not
// a cell (gaps, padding bits) filled with junk the decoder must not read as
// a fired detector, and every cell meaning 1 given a nonzero value other
// than 1 where the layout allows it.
template <class Byte>
struct LaidOut {
    std::vector<uint8_t> storage;
    StridedRows<Byte> view;
};

template <class Byte>
LaidOut<Byte> lay_out(const std::vector<std::vector<uint8_t>>& bits, uint64_t width, Geometry g, uint8_t junk) {
    LaidOut<Byte> out;
    const uint64_t rows = bits.size();
    const uint64_t columns = row_columns(width, g.layout);
    const int64_t step = std::abs(g.column_step);
    const int64_t row_span = static_cast<int64_t>(columns) * step + g.row_gap;
    out.storage.assign(static_cast<size_t>(std::max<int64_t>(row_span * static_cast<int64_t>(rows), 1)), junk);
    int64_t origin = g.reversed_rows ? row_span * (static_cast<int64_t>(rows) - 1) : 0;
    if (g.column_step < 0 && columns > 0) origin += static_cast<int64_t>(columns - 1) * step;
    out.view = StridedRows<Byte>{
        out.storage.data() + origin, rows, columns, g.reversed_rows ? -row_span : row_span, g.column_step, g.layout};
    for (uint64_t r = 0; r < rows; ++r) {
        uint8_t* row = out.storage.data() + origin + (g.reversed_rows ? -1 : 1) * row_span * static_cast<int64_t>(r);
        for (uint64_t c = 0; c < columns; ++c) {
            uint8_t value = 0;
            if (g.layout == BitLayout::kPacked) {
                for (uint64_t b = 0; b < 8; ++b) {
                    const uint64_t k = 8 * c + b;
                    // Padding bits past the width carry junk.
                    if (k >= width ? (junk >> b) & 1 : bits[r][k]) value |= uint8_t(1u << b);
                }
            } else if (bits[r][c]) {
                value = static_cast<uint8_t>(1 + (r + 3 * c) % 255);
            }
            row[static_cast<int64_t>(c) * g.column_step] = value;
        }
    }
    return out;
}

// Bit k of row r of a laid-out prediction.
bool bit_at(const PredictionRows& rows, uint64_t r, uint64_t k) {
    const uint8_t* row = rows.row(r);
    if (rows.layout == BitLayout::kPacked)
        return (row[static_cast<int64_t>(k / 8) * rows.column_stride] >> (k % 8)) & 1;
    return row[static_cast<int64_t>(k) * rows.column_stride] != 0;
}

// Decodes `bits` in every shot and prediction geometry and checks each
// prediction, padding included, against a fresh decoder asked shot by shot
// for the listed fired detectors.
void expect_batch_matches_per_shot(const std::shared_ptr<const SpacetimeGraph>& graph, uint32_t num_observables,
                                   const std::vector<std::vector<uint8_t>>& bits, const Geometry& shot_geometry) {
    ShotBatchDecoder batch(*UnionFindDecoder::create(graph), num_observables);
    UnionFindDecoder reference = *UnionFindDecoder::create(graph);
    const uint32_t width = batch.num_detectors();

    std::vector<uint64_t> expected;
    for (const auto& shot : bits) {
        std::vector<uint32_t> fired;
        for (uint32_t d = 0; d < width; ++d) {
            if (shot[d]) fired.push_back(d);
        }
        expected.push_back(reference.decode_detectors(fired));
    }

    const LaidOut<const uint8_t> shots = lay_out<const uint8_t>(bits, width, shot_geometry, 0xFF);
    const std::vector<std::vector<uint8_t>> blank(bits.size(), std::vector<uint8_t>(num_observables, 0));
    for (const Geometry& out_geometry :
         {Geometry{BitLayout::kPacked, 1, false, 0}, Geometry{BitLayout::kBytes, 1, false, 0},
          Geometry{BitLayout::kPacked, -3, true, 2}, Geometry{BitLayout::kBytes, 2, true, 1}}) {
        LaidOut<uint8_t> predictions = lay_out<uint8_t>(blank, num_observables, out_geometry, 0xAA);
        ASSERT_TRUE(batch.decode_batch(shots.view, predictions.view).has_value());
        for (uint64_t r = 0; r < bits.size(); ++r) {
            const uint64_t columns = row_columns(num_observables, out_geometry.layout);
            const uint64_t written_bits = out_geometry.layout == BitLayout::kPacked ? 8 * columns : columns;
            for (uint64_t k = 0; k < written_bits; ++k) {
                const bool flipped = k < 64 && ((expected[r] >> k) & 1);
                ASSERT_EQ(bit_at(predictions.view, r, k), flipped) << "shot " << r << " bit " << k;
            }
        }
    }
}

// A sparse random graph of `detectors` detectors and its boundary, edges
// between neighbours and to the boundary, observables 0 to 2.
std::shared_ptr<const SpacetimeGraph> random_graph(uint32_t detectors, std::mt19937& rng) {
    auto graph = std::make_shared<SpacetimeGraph>();
    for (uint32_t d = 0; d < detectors; ++d) graph->nodes.push_back(SpacetimeNode{std::nullopt, d});
    graph->nodes.push_back(SpacetimeNode{std::nullopt, kBoundaryDetector});
    graph->boundary = detectors;
    for (uint32_t d = 0; d < detectors; ++d) {
        for (uint32_t reach : {1u, 7u, 1 + static_cast<uint32_t>(rng() % 20)}) {
            const uint32_t v = d + reach < detectors && rng() % 5 != 0 ? d + reach : detectors;
            std::vector<uint8_t> observables;
            if (rng() % 3 == 0) observables.push_back(static_cast<uint8_t>(rng() % 3));
            const double p = 0.001 + (rng() % 100) / 1000.0;
            graph->edges.push_back(SpacetimeEdge{observables, d, v, -static_cast<float>(std::log(p / (1 - p)))});
        }
    }
    return graph;
}

// Shots most of which are small syndromes (none, one detector, the two ends
// of an edge), so that the answers kept for them are used again and again,
// and some larger ones.
std::vector<std::vector<uint8_t>> random_shots(const SpacetimeGraph& graph, uint32_t detectors, size_t count,
                                               std::mt19937& rng) {
    std::vector<std::vector<uint8_t>> shots(count, std::vector<uint8_t>(detectors, 0));
    for (auto& shot : shots) {
        switch (rng() % 5) {
            case 0:
                break;
            case 1:
                shot[rng() % std::min(6u, detectors)] = 1;
                break;
            case 2: {
                const SpacetimeEdge& edge = graph.edges[rng() % std::min<size_t>(graph.edges.size(), 20)];
                shot[edge.u] ^= 1;
                if (edge.v < detectors) shot[edge.v] ^= 1;
                break;
            }
            default:
                for (int k = 0; k < 2 + static_cast<int>(rng() % 8); ++k) shot[rng() % detectors] = 1;
        }
    }
    return shots;
}

class ShotGeometry : public testing::TestWithParam<Geometry> {};

// 131 detectors: two whole 64-bit words and a partial one, a partial byte.
TEST_P(ShotGeometry, BatchAgreesWithPerShotDecode) {
    std::mt19937 rng(12);
    for (uint32_t detectors : {131u, 5u}) {
        auto graph = random_graph(detectors, rng);
        const auto shots = random_shots(*graph, detectors, 3000, rng);
        expect_batch_matches_per_shot(graph, 3, shots, GetParam());
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ShotGeometry,
                         testing::Values(Geometry{BitLayout::kPacked, 1, false, 0},  // C-contiguous
                                         Geometry{BitLayout::kBytes, 1, false, 0},
                                         Geometry{BitLayout::kPacked, 1, true, 5},  // rows of a larger record, reversed
                                         Geometry{BitLayout::kBytes, 1, true, 3},
                                         Geometry{BitLayout::kPacked, 2, false, 0},  // every other column
                                         Geometry{BitLayout::kBytes, -1, false, 1},  // columns reversed
                                         Geometry{BitLayout::kBytes, 3, true, 0}));

std::shared_ptr<const SpacetimeGraph> graph_of_file(const std::string& name) {
    std::ifstream in(std::string(VESKAR_TEST_DATA) + "/dem/" + name + ".dem");
    std::stringstream text;
    text << in.rdbuf();
    auto model = DetectorErrorModel::parse(text.str());
    EXPECT_TRUE(model.has_value()) << name;
    if (!model) return std::make_shared<SpacetimeGraph>();
    return std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*model));
}

class SampledBatch : public testing::TestWithParam<const char*> {};

// Stim's shots of real models, read in place from the fixture's records (each
// shot's bit-packed events followed by two masks: a row stride longer than
// the row).
TEST_P(SampledBatch, BatchAgreesWithPerShotDecode) {
    const std::string name = GetParam();
    auto fixture = testing_support::read_shot_fixture(std::string(VESKAR_TEST_DATA) + "/samples/" + name + ".shots");
    ASSERT_TRUE(fixture.has_value());
    auto graph = graph_of_file(name);
    ShotBatchDecoder batch(*UnionFindDecoder::create(graph), 1);
    ASSERT_EQ(batch.num_detectors(), fixture->num_detectors);
    UnionFindDecoder reference = *UnionFindDecoder::create(graph);

    const ShotRows shots{fixture->records.data(),
                         fixture->num_shots,
                         fixture->event_bytes(),
                         static_cast<int64_t>(fixture->record_bytes()),
                         1,
                         BitLayout::kPacked};
    std::vector<uint8_t> predictions(fixture->num_shots, 0xAA);
    ASSERT_TRUE(
        batch.decode_batch(shots, PredictionRows{predictions.data(), fixture->num_shots, 1, 1, 1, BitLayout::kBytes}));
    size_t flipped = 0;
    for (uint32_t shot = 0; shot < fixture->num_shots; ++shot) {
        std::vector<uint32_t> fired;
        for (uint32_t d = 0; d < fixture->num_detectors; ++d) {
            if (fixture->fired(shot, d)) fired.push_back(d);
        }
        ASSERT_EQ(predictions[shot], reference.decode_detectors(fired)) << "shot " << shot;
        flipped += predictions[shot];
    }
    EXPECT_GT(flipped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampledBatch,
                         testing::Values("repetition_d5_r5_p003", "surface_d3_r3_p0005", "surface_d5_r5_p0001",
                                         "surface_d5_r5_p0005"));

// A model may declare more observables than its errors flip; those columns
// are written, never set. A model without detectors has empty rows.
TEST(ShotBatch, ObservablesPastTheMaskAndEmptyRows) {
    auto graph = std::make_shared<SpacetimeGraph>();
    graph->nodes = {SpacetimeNode{std::nullopt, 0}, SpacetimeNode{std::nullopt, 1},
                    SpacetimeNode{std::nullopt, kBoundaryDetector}};
    graph->boundary = 2;
    graph->edges = {SpacetimeEdge{{63}, 0, 1, 1.0f}, SpacetimeEdge{{0}, 1, 2, 3.0f}};
    ShotBatchDecoder batch(*UnionFindDecoder::create(graph), 70);
    EXPECT_EQ(batch.num_observables(), 70u);
    const std::vector<std::vector<uint8_t>> shots = {{1, 1}, {0, 1}, {0, 0}};
    expect_batch_matches_per_shot(graph, 70, shots, Geometry{BitLayout::kBytes, 1, false, 0});

    auto empty = std::make_shared<SpacetimeGraph>();
    empty->nodes = {SpacetimeNode{std::nullopt, kBoundaryDetector}};
    ShotBatchDecoder nothing(*UnionFindDecoder::create(empty), 1);
    EXPECT_EQ(nothing.num_detectors(), 0u);
    uint8_t out[4] = {9, 9, 9, 9};
    const uint8_t in = 0;
    ASSERT_TRUE(nothing.decode_batch(ShotRows{&in, 4, 0, 0, 1, BitLayout::kPacked},
                                     PredictionRows{out, 4, 1, 1, 1, BitLayout::kPacked}));
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>(4, 0));
}

TEST(ShotBatch, RefusesWrongWidthsAndRowCountsWritingNothing) {
    std::mt19937 rng(3);
    ShotBatchDecoder batch(*UnionFindDecoder::create(random_graph(13, rng)), 9);
    std::vector<uint8_t> in(64, 1);
    std::vector<uint8_t> out(64, 0xAA);
    struct Case {
        ShotRows shots;
        PredictionRows predictions;
        const char* message;
    };
    const Case cases[] = {
        {{in.data(), 2, 13, 16, 1, BitLayout::kPacked},
         {out.data(), 2, 2, 2, 1, BitLayout::kPacked},
         "bit-packed shots must have ceil(num_detectors / 8) = 2 columns, not 13"},
        {{in.data(), 2, 2, 16, 1, BitLayout::kBytes},
         {out.data(), 2, 9, 9, 1, BitLayout::kBytes},
         "shots must have num_detectors = 13 columns, not 2"},
        {{in.data(), 2, 13, 16, 1, BitLayout::kBytes},
         {out.data(), 2, 1, 2, 1, BitLayout::kPacked},
         "bit-packed predictions must have ceil(num_observables / 8) = 2 columns, not 1"},
        {{in.data(), 2, 2, 2, 1, BitLayout::kPacked},
         {out.data(), 2, 2, 9, 1, BitLayout::kBytes},
         "predictions must have num_observables = 9 columns, not 2"},
        {{in.data(), 3, 2, 2, 1, BitLayout::kPacked},
         {out.data(), 2, 2, 2, 1, BitLayout::kPacked},
         "3 shots but 2 rows for their predictions"},
    };
    for (const Case& c : cases) {
        auto result = batch.decode_batch(c.shots, c.predictions);
        ASSERT_FALSE(result.has_value()) << c.message;
        EXPECT_EQ(message(result.error()), c.message);
        EXPECT_EQ(out, std::vector<uint8_t>(64, 0xAA));
    }
}

}  // namespace
}  // namespace veskar
