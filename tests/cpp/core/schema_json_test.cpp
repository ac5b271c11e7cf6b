#include "veskar/core/schema_json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "veskar/dem/schema_gen.hpp"

namespace veskar {
namespace {

SchemaId sequential_id() {
    SchemaId id{};
    for (uint8_t i = 0; i < 16; ++i) id[i] = i;
    return id;
}

HardwareSchema minimal_schema() {
    HardwareSchema s;
    s.schema_id = sequential_id();
    s.version = "1.0.0";
    s.name = "n";
    s.description = "d";
    s.code_type = "surface";
    s.distance = 3;
    s.qubit_count = 17;
    s.ancilla_count = 8;
    s.measurement_cycle_us = 1.0f;
    s.ancilla_layout = "grid";
    return s;
}

// The text between `"key": ` and the end of that member's line.
std::string member_value(const std::string& json, const std::string& key) {
    const std::string marker = "\"" + key + "\": ";
    size_t at = json.find(marker);
    if (at == std::string::npos) return "(absent)";
    at += marker.size();
    size_t end = json.find_first_of(",\n", at);
    return json.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST(SchemaJson, FullDocumentByteForByte) {
    HardwareSchema s = minimal_schema();
    s.stabilizers.push_back({0, StabilizerType::Z, {1, 2}});
    s.stabilizers.push_back({65535, StabilizerType::X, {}});
    s.measurement_cycle_us = 0.5f;
    s.ldpc_hz_matrix = "1 0\n0 1";
    s.ldpc_hx_matrix = "hx";
    s.logical_z_matrix = "lz";
    s.logical_x_matrix = "";
    s.encoding_rate = 0.25;
    s.dem_path = "/tmp/a.dem";
    EXPECT_EQ(to_json(s),
              "{\n"
              "  \"schema_id\": \"00010203-0405-0607-0809-0a0b0c0d0e0f\",\n"
              "  \"version\": \"1.0.0\",\n"
              "  \"name\": \"n\",\n"
              "  \"description\": \"d\",\n"
              "  \"code_type\": \"surface\",\n"
              "  \"distance\": 3,\n"
              "  \"qubit_count\": 17,\n"
              "  \"ancilla_count\": 8,\n"
              "  \"stabilizers\": [\n"
              "    {\n"
              "      \"id\": 0,\n"
              "      \"type\": \"Z\",\n"
              "      \"qubits\": [\n"
              "        1,\n"
              "        2\n"
              "      ]\n"
              "    },\n"
              "    {\n"
              "      \"id\": 65535,\n"
              "      \"type\": \"X\",\n"
              "      \"qubits\": []\n"
              "    }\n"
              "  ],\n"
              "  \"measurement_cycle_us\": 0.5,\n"
              "  \"ancilla_layout\": \"grid\",\n"
              "  \"ldpc_hz_matrix\": \"1 0\\n0 1\",\n"
              "  \"ldpc_hx_matrix\": \"hx\",\n"
              "  \"logical_z_matrix\": \"lz\",\n"
              "  \"logical_x_matrix\": \"\",\n"
              "  \"encoding_rate\": 0.25,\n"
              "  \"dem_path\": \"/tmp/a.dem\"\n"
              "}");
}

TEST(SchemaJson, NoStabilizersAndNoOptionalFields) {
    std::string json = to_json(minimal_schema());
    EXPECT_NE(json.find("  \"stabilizers\": [],\n"), std::string::npos);
    const std::string tail = "  \"ancilla_layout\": \"grid\"\n}";
    ASSERT_GE(json.size(), tail.size());
    EXPECT_EQ(json.substr(json.size() - tail.size()), tail);
}

TEST(SchemaJson, DemPathDirectlyFollowsTheLayout) {
    HardwareSchema s = minimal_schema();
    s.dem_path = "x.dem";
    std::string json = to_json(s);
    EXPECT_NE(json.find("\"ancilla_layout\": \"grid\",\n  \"dem_path\": \"x.dem\"\n}"), std::string::npos);
}

struct EscapeCase {
    std::string raw;
    std::string written;
};

class SchemaJsonEscape : public testing::TestWithParam<EscapeCase> {};

TEST_P(SchemaJsonEscape, StringValue) {
    HardwareSchema s = minimal_schema();
    s.name = GetParam().raw;
    EXPECT_EQ(member_value(to_json(s), "name"), "\"" + GetParam().written + "\"");
}

INSTANTIATE_TEST_SUITE_P(Characters, SchemaJsonEscape,
                         testing::Values(EscapeCase{"plain", "plain"}, EscapeCase{"", ""}, EscapeCase{"a\"b", "a\\\"b"},
                                         EscapeCase{"back\\slash", "back\\\\slash"},
                                         EscapeCase{"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
                                         EscapeCase{std::string("\x00\x01\x0b\x1f", 4), "\\u0000\\u0001\\u000b\\u001f"},
                                         EscapeCase{"\x7f", "\x7f"},  // DEL unchanged
                                         // UTF-8 unchanged
                                         EscapeCase{"Gr\xC3\xBC\xC3\x9F \xE2\x9C\x93 \xF0\x9F\x98\x80",
                                                    "Gr\xC3\xBC\xC3\x9F \xE2\x9C\x93 \xF0\x9F\x98\x80"}));

// measurement_cycle_us (single precision): shortest form, ".0" on plain
// whole numbers, null for what JSON cannot hold.
struct FloatCase {
    float value;
    std::string written;
};

class SchemaJsonFloat : public testing::TestWithParam<FloatCase> {};

TEST_P(SchemaJsonFloat, MeasurementCycle) {
    HardwareSchema s = minimal_schema();
    s.measurement_cycle_us = GetParam().value;
    std::string written = member_value(to_json(s), "measurement_cycle_us");
    EXPECT_EQ(written, GetParam().written);
    if (written != "null") {
        // Reads back (as a JSON reader would, through a double) to the same float.
        EXPECT_EQ(static_cast<float>(std::strtod(written.c_str(), nullptr)), GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, SchemaJsonFloat,
                         testing::Values(FloatCase{1.0f, "1.0"}, FloatCase{0.0f, "0.0"}, FloatCase{-0.0f, "-0.0"},
                                         FloatCase{0.1f, "0.1"}, FloatCase{2.5f, "2.5"}, FloatCase{-3.0f, "-3.0"},
                                         FloatCase{123456792.0f, "123456792.0"}, FloatCase{1e20f, "1e+20"},
                                         FloatCase{1e7f, "1e+07"}, FloatCase{1e-7f, "1e-07"},
                                         FloatCase{std::numeric_limits<float>::max(), "3.4028235e+38"},
                                         FloatCase{std::numeric_limits<float>::denorm_min(), "1e-45"},
                                         FloatCase{std::numeric_limits<float>::quiet_NaN(), "null"},
                                         FloatCase{std::numeric_limits<float>::infinity(), "null"},
                                         FloatCase{-std::numeric_limits<float>::infinity(), "null"}));

struct DoubleCase {
    double value;
    std::string written;
};

class SchemaJsonDouble : public testing::TestWithParam<DoubleCase> {};

TEST_P(SchemaJsonDouble, EncodingRate) {
    HardwareSchema s = minimal_schema();
    s.encoding_rate = GetParam().value;
    std::string written = member_value(to_json(s), "encoding_rate");
    EXPECT_EQ(written, GetParam().written);
    if (written != "null") {
        EXPECT_EQ(std::strtod(written.c_str(), nullptr), GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, SchemaJsonDouble,
                         testing::Values(DoubleCase{0.1, "0.1"}, DoubleCase{1.0 / 3.0, "0.3333333333333333"},
                                         DoubleCase{2.0, "2.0"}, DoubleCase{1.0, "1.0"}, DoubleCase{1e15, "1e+15"},
                                         DoubleCase{123456789012.0, "123456789012.0"}, DoubleCase{1e22, "1e+22"},
                                         DoubleCase{5e-324, "5e-324"},
                                         DoubleCase{std::numeric_limits<double>::quiet_NaN(), "null"},
                                         DoubleCase{-std::numeric_limits<double>::infinity(), "null"}));

// What the Python layer's to_schema_json gives for a small model.
TEST(SchemaJson, GeneratedFromSmallDem) {
    auto model = DetectorErrorModel::parse("detector(1, 0, 0) D0\ndetector(2, 0) D1\nerror(0.1) D0 D1 ^ L0");
    ASSERT_TRUE(model.has_value());
    HardwareSchema s = schema_from_dem(*model, "tiny").value();
    s.schema_id = sequential_id();
    EXPECT_EQ(to_json(s),
              "{\n"
              "  \"schema_id\": \"00010203-0405-0607-0809-0a0b0c0d0e0f\",\n"
              "  \"version\": \"1.0.0\",\n"
              "  \"name\": \"tiny\",\n"
              "  \"description\": \"Auto-generated from DEM: 2 detectors, 1 observables\",\n"
              "  \"code_type\": \"custom\",\n"
              "  \"distance\": 0,\n"
              "  \"qubit_count\": 0,\n"
              "  \"ancilla_count\": 2,\n"
              "  \"stabilizers\": [\n"
              "    {\n"
              "      \"id\": 0,\n"
              "      \"type\": \"X\",\n"
              "      \"qubits\": []\n"
              "    },\n"
              "    {\n"
              "      \"id\": 1,\n"
              "      \"type\": \"Z\",\n"
              "      \"qubits\": []\n"
              "    }\n"
              "  ],\n"
              "  \"measurement_cycle_us\": 1.0,\n"
              "  \"ancilla_layout\": \"auto\"\n"
              "}");
}

}  // namespace
}  // namespace veskar
