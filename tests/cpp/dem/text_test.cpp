#include "veskar/dem/text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <sstream>
#include <string>

namespace veskar {
namespace {

DetectorErrorModel parse_ok(std::string_view text) {
    auto model = DetectorErrorModel::parse(text);
    EXPECT_TRUE(model.has_value()) << "parse of:\n" << text << "\nfailed: " << message(model.error());
    return model.has_value() ? std::move(*model) : DetectorErrorModel{};
}

// Doubles compare by their bits, so that NaN equals itself and -0 differs from 0.
uint64_t bits(double value) {
    return std::bit_cast<uint64_t>(value);
}

void expect_same(const DetectorErrorModel& a, const DetectorErrorModel& b) {
    EXPECT_EQ(a.detector_count, b.detector_count);
    EXPECT_EQ(a.observable_count, b.observable_count);
    ASSERT_EQ(a.errors.size(), b.errors.size());
    for (size_t i = 0; i < a.errors.size(); ++i) {
        const DemError& x = a.errors[i];
        const DemError& y = b.errors[i];
        EXPECT_EQ(bits(x.probability), bits(y.probability)) << "error " << i;
        EXPECT_EQ(x.detectors, y.detectors) << "error " << i;
        EXPECT_EQ(x.observables, y.observables) << "error " << i;
        ASSERT_EQ(x.components.size(), y.components.size()) << "error " << i;
        for (size_t c = 0; c < x.components.size(); ++c) {
            EXPECT_EQ(x.components[c].detectors, y.components[c].detectors) << "error " << i;
            EXPECT_EQ(x.components[c].observables, y.components[c].observables) << "error " << i;
        }
    }
    ASSERT_EQ(a.detectors.size(), b.detectors.size());
    for (size_t i = 0; i < a.detectors.size(); ++i) {
        const DetectorDecl& x = a.detectors[i];
        const DetectorDecl& y = b.detectors[i];
        EXPECT_EQ(x.id, y.id);
        EXPECT_EQ(x.coord_count, y.coord_count) << "detector " << x.id;
        ASSERT_EQ(x.coords.has_value(), y.coords.has_value()) << "detector " << x.id;
        if (x.coords) {
            for (size_t k = 0; k < 3; ++k) EXPECT_EQ(bits((*x.coords)[k]), bits((*y.coords)[k])) << "detector " << x.id;
        }
    }
}

struct Case {
    const char* name;
    std::string text;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DemTextRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(DemTextRoundTrip, ParsesBackToTheSameModel) {
    const DetectorErrorModel model = parse_ok(GetParam().text);
    const std::string text = to_dem_text(model);
    expect_same(model, parse_ok(text));
    EXPECT_EQ(text, to_dem_text(parse_ok(text)));
}

INSTANTIATE_TEST_SUITE_P(
    Models, DemTextRoundTrip,
    ::testing::Values(Case{"empty", ""},
                      Case{"components", "error(0.125) D0 L1 D2 ^ D3 ^ L0\nerror(1e-300) D0 D0\nerror(0.1)\n"},
                      Case{"unusual_probabilities",
                           "error(nan) D0\nerror(-0) D1\nerror(inf) D2\nerror(0.1000000000000000055511) D3\n"},
                      Case{"shifted_coordinates",
                           "detector(1.5, 2, 0.1) D0\nshift_detectors(0, 0, 1) 2\ndetector(1.5, 2) D0\ndetector D1\n"
                           "detector() D7\ndetector(1, 2, 3, 4) D3\nerror(0.2) D0 D1\n"},
                      Case{"counts_from_declarations_only", "error(0.1) D0 L0\nlogical_observable L5\ndetector D0\n"},
                      Case{"counts_from_a_block_repeated_0_times",
                           "error(0.1) D1\nrepeat 0 {\n  error(0.2) D9 L3\n}\n"},
                      Case{"folded_surface_code", read_file(VESKAR_TEST_DATA "/dem/surface_d5_r25_p0001_folded.dem")}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veskar
