#include "veskar/dem/schema_gen.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "veskar/core/schema_json.hpp"
#include "veskar/validate/schema_consistency.hpp"

namespace veskar {
namespace {

DetectorErrorModel model_of(std::string_view text) {
    auto model = DetectorErrorModel::parse(text);
    EXPECT_TRUE(model.has_value()) << message(model.error());
    return model.has_value() ? std::move(*model) : DetectorErrorModel{};
}

struct TypeCase {
    std::string declaration;
    uint16_t id;
    StabilizerType type;
};

class SchemaGenStabilizer : public testing::TestWithParam<TypeCase> {};

// x + y, each rounded half away from zero, decides the type by parity.
TEST_P(SchemaGenStabilizer, TypeFromRoundedCoordinates) {
    auto generated = schema_from_dem(model_of(GetParam().declaration), "s");
    ASSERT_TRUE(generated.has_value());
    const HardwareSchema& schema = *generated;
    ASSERT_EQ(schema.stabilizers.size(), 1u);
    EXPECT_EQ(schema.stabilizers[0].id, GetParam().id);
    EXPECT_EQ(schema.stabilizers[0].type, GetParam().type);
    EXPECT_TRUE(schema.stabilizers[0].qubits.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Coordinates, SchemaGenStabilizer,
    testing::Values(TypeCase{"detector(0, 0, 0) D0", 0, StabilizerType::Z},
                    TypeCase{"detector(1, 0, 0) D1", 1, StabilizerType::X},
                    TypeCase{"detector(1.5, 0, 0) D2", 2, StabilizerType::Z},
                    TypeCase{"detector(-0.5, 0, 0) D3", 3, StabilizerType::X},
                    TypeCase{"detector D4", 4, StabilizerType::Z},
                    TypeCase{"detector(0, 2.5, 7) D5", 5, StabilizerType::X},    // 2.5 -> 3; t plays no part
                    TypeCase{"detector(2.49, 0.5) D6", 6, StabilizerType::X},    // 2 + 1
                    TypeCase{"detector(nan, 1) D7", 7, StabilizerType::X},       // NaN rounds to 0
                    TypeCase{"detector(1e300, 0) D8", 8, StabilizerType::X},     // saturates to 2^63 - 1, odd
                    TypeCase{"detector(-1e300, 0) D9", 9, StabilizerType::Z},    // saturates to -2^63, even
                    TypeCase{"detector(inf, -inf) D10", 10, StabilizerType::X},  // (2^63 - 1) + (-2^63)
                    TypeCase{"detector D65534", 65534, StabilizerType::Z}));

TEST(SchemaGen, FieldsFromTheModel) {
    DetectorErrorModel model = model_of("detector(1, 0) D3\ndetector D1\nerror(0.1) D65534 ^ L4");
    HardwareSchema schema = schema_from_dem(model, "device \"A\"").value();
    EXPECT_EQ(schema.version, "1.0.0");
    EXPECT_EQ(schema.name, "device \"A\"");
    EXPECT_EQ(schema.description, "Auto-generated from DEM: 65535 detectors, 5 observables");
    // The consistency check must read the generated word as the custom code.
    EXPECT_EQ(code_type_from_schema_word(schema.code_type), CodeType::Custom);
    EXPECT_EQ(schema.distance, 0);
    EXPECT_EQ(schema.qubit_count, 0);
    EXPECT_EQ(schema.ancilla_count, 65535);
    ASSERT_EQ(schema.stabilizers.size(), 2u);  // declared detectors only, in declaration order
    EXPECT_EQ(schema.stabilizers[0].id, 3);
    EXPECT_EQ(schema.stabilizers[0].type, StabilizerType::X);
    EXPECT_EQ(schema.stabilizers[1].id, 1);
    EXPECT_EQ(schema.measurement_cycle_us, 1.0f);
    EXPECT_EQ(schema.ancilla_layout, "auto");
    EXPECT_FALSE(schema.ldpc_hz_matrix || schema.ldpc_hx_matrix || schema.logical_z_matrix || schema.logical_x_matrix ||
                 schema.encoding_rate || schema.dem_path);
}

// Counts and ids are 16-bit in a schema: a larger model is refused, never
// written with its numbers wrapped round.
TEST(SchemaGen, RefusesModelsWithMoreDetectorsThanASchemaHolds) {
    for (const char* text : {"detector D65535", "error(0.1) D70000", "detector D70000\nerror(0.1) D1"}) {
        SCOPED_TRACE(text);
        auto schema = schema_from_dem(model_of(text), "s");
        ASSERT_FALSE(schema.has_value());
        EXPECT_EQ(message(schema.error()), "a hardware schema holds at most 65535 detectors, the model has " +
                                               std::to_string(model_of(text).detector_count));
    }
}

TEST(SchemaGen, EmptyModelAndEmptyName) {
    HardwareSchema schema = schema_from_dem(DetectorErrorModel{}, "").value();
    EXPECT_EQ(schema.name, "");
    EXPECT_EQ(schema.description, "Auto-generated from DEM: 0 detectors, 0 observables");
    EXPECT_EQ(schema.ancilla_count, 0);
    EXPECT_TRUE(schema.stabilizers.empty());
}

TEST(SchemaGen, CallsDifferOnlyInTheirId) {
    DetectorErrorModel model = model_of("detector(1, 0) D0\nerror(0.1) D0");
    HardwareSchema a = schema_from_dem(model, "x").value();
    HardwareSchema b = schema_from_dem(model, "x").value();
    EXPECT_NE(a.schema_id, b.schema_id);
    b.schema_id = a.schema_id;
    EXPECT_EQ(to_json(a), to_json(b));
}

TEST(SchemaGenUuid, VersionFourRfcVariantAndDistinct) {
    std::set<SchemaId> seen;
    for (int i = 0; i < 200; ++i) {
        SchemaId id = random_uuid_v4();
        EXPECT_EQ(id[6] >> 4, 4);
        EXPECT_EQ(id[8] >> 6, 0b10);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
    // The other 122 bits are random: across 200 ids every one of them
    // should have been seen both ways.
    SchemaId any_one{}, any_zero{};
    for (const SchemaId& id : seen) {
        for (size_t k = 0; k < id.size(); ++k) {
            any_one[k] |= id[k];
            any_zero[k] |= static_cast<uint8_t>(~id[k]);
        }
    }
    for (size_t k = 0; k < 16; ++k) {
        const uint8_t fixed = k == 6 ? 0xF0 : k == 8 ? 0xC0 : 0x00;
        EXPECT_EQ(any_one[k] | fixed, 0xFF) << k;
        EXPECT_EQ(any_zero[k] | fixed, 0xFF) << k;
    }
}

}  // namespace
}  // namespace veskar
