// The decoder against Stim-sampled shots of real DEMs, compared with
// PyMatching's predictions for the same shots.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "shot_fixture.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

using testing_support::ShotFixture;

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::shared_ptr<const SpacetimeGraph> real_graph(const std::string& name) {
    const std::string text = read_text(std::string(VESKAR_TEST_DATA) + "/dem/" + name + ".dem");
    EXPECT_FALSE(text.empty()) << name;
    auto model = DetectorErrorModel::parse(text);
    EXPECT_TRUE(model.has_value()) << name;
    if (!model) return std::make_shared<SpacetimeGraph>();
    return std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*model));
}

class RealDem : public testing::TestWithParam<const char*> {};

// Each mechanism of the model on its own: its detectors fired (a detector
// named twice cancels), the decoder must predict its own observables.
TEST_P(RealDem, EverySingleMechanismDecodesToItsOwnFlip) {
    const std::string text = read_text(std::string(VESKAR_TEST_DATA) + "/dem/" + GetParam() + ".dem");
    auto model = DetectorErrorModel::parse(text);
    ASSERT_TRUE(model.has_value());
    auto decoder = UnionFindDecoder::create(std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*model)));
    ASSERT_TRUE(decoder.has_value());

    size_t checked = 0;
    for (const DemError& error : model->errors) {
        std::vector<uint8_t> parity(model->detector_count, 0);
        for (uint32_t d : error.detectors) parity[d] ^= 1;
        std::vector<uint32_t> fired;
        for (uint32_t d = 0; d < parity.size(); ++d) {
            if (parity[d]) fired.push_back(d);
        }
        uint64_t expected = 0;
        for (uint8_t o : error.observables) expected ^= uint64_t{1} << o;
        EXPECT_EQ(decoder->decode_detectors(fired), expected) << "error #" << checked;
        ++checked;
    }
    EXPECT_EQ(checked, model->errors.size());
    EXPECT_GT(checked, 0u);
}

INSTANTIATE_TEST_SUITE_P(Models, RealDem,
                         testing::Values("repetition_d5_r5_p003", "surface_d3_r3_p0005", "surface_d5_r5_p0005"));

struct Tally {
    size_t decoder = 0;
    size_t pymatching = 0;
    size_t decoder_only = 0;     // shots only the decoder gets wrong
    size_t pymatching_only = 0;  // shots only PyMatching gets wrong
    size_t no_flip = 0;
};

Tally decode_sample(const std::string& name, const ShotFixture& shots) {
    auto decoder = UnionFindDecoder::create(real_graph(name));
    EXPECT_TRUE(decoder.has_value());
    SyndromeWindow window = *SyndromeWindow::create(shots.ancillas_per_round, shots.window_depth);
    Tally tally;
    for (size_t shot = 0; shot < shots.num_shots; ++shot) {
        shots.push_shot(shot, window);
        const uint64_t truth = shots.truth(shot);
        const bool decoder_wrong = decoder->decode_window(window).observable_flips != truth;
        const bool pymatching_wrong = shots.pymatching(shot) != truth;
        tally.decoder += decoder_wrong;
        tally.pymatching += pymatching_wrong;
        tally.decoder_only += decoder_wrong && !pymatching_wrong;
        tally.pymatching_only += pymatching_wrong && !decoder_wrong;
        tally.no_flip += truth != 0;
    }
    return tally;
}

class SampledShots : public testing::TestWithParam<const char*> {};

TEST_P(SampledShots, LogicalErrorRateNearPyMatching) {
    const std::string name = GetParam();
    auto shots = testing_support::read_shot_fixture(std::string(VESKAR_TEST_DATA) + "/samples/" + name + ".shots");
    ASSERT_TRUE(shots.has_value()) << "run tests/data/make_decoder_fixtures.py";
    ASSERT_GT(shots->num_shots, 1000u);

    const Tally tally = decode_sample(name, *shots);
    RecordProperty("decoder_errors", std::to_string(tally.decoder));
    RecordProperty("pymatching_errors", std::to_string(tally.pymatching));
    std::cout << name << ": " << shots->num_shots << " shots, decoder " << tally.decoder << ", PyMatching "
              << tally.pymatching << ", no flip " << tally.no_flip << " errors\n";

    // At most 1.05 times PyMatching's errors, up to three standard
    // deviations of the difference: on shared shots only the shots where the
    // two disagree vary it.
    const double excess = static_cast<double>(tally.decoder) - 1.05 * static_cast<double>(tally.pymatching);
    EXPECT_LE(excess, 3.0 * std::sqrt(static_cast<double>(tally.decoder_only + tally.pymatching_only)) + 1.0);
    EXPECT_LE(tally.decoder * 4, tally.no_flip);
}

INSTANTIATE_TEST_SUITE_P(Samples, SampledShots,
                         testing::Values("repetition_d5_r5_p003", "surface_d3_r3_p0005", "surface_d5_r5_p0001",
                                         "surface_d5_r5_p0005"));

}  // namespace
}  // namespace veskar
