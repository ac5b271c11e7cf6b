#include "veskar/validate/schema_consistency.hpp"

#include <array>
#include <utility>

namespace veskar {

std::optional<CodeType> code_type_from_schema_word(std::string_view word) {
    static constexpr std::array<std::pair<std::string_view, CodeType>, 15> kWords{{
        {"surface", CodeType::SurfaceCode},
        {"surface_code", CodeType::SurfaceCode},
        {"honeycomb", CodeType::HoneycombCode},
        {"honeycomb_code", CodeType::HoneycombCode},
        {"color", CodeType::ColorCode},
        {"color_code", CodeType::ColorCode},
        {"repetition", CodeType::RepetitionCode},
        {"repetition_code", CodeType::RepetitionCode},
        {"toric", CodeType::ToricCode},
        {"toric_code", CodeType::ToricCode},
        {"bivariate_bicycle", CodeType::BivariateBicycle},
        {"hypergraph_product", CodeType::HypergraphProduct},
        {"fiber_bundle", CodeType::FiberBundle},
        {"custom", CodeType::Custom},
        // Schemas generated from a DEM were once written with this spelling;
        // stored ones still mean the custom code type by it.
        {"Custom", CodeType::Custom},
    }};
    for (const auto& [name, code] : kWords) {
        if (name == word) {
            return code;
        }
    }
    return std::nullopt;
}

std::expected<void, VeskarError> check_schema_consistency(const SyndromeFrame& frame, const HardwareSchema& schema) {
    const FrameHeader& header = frame.header;
    if (schema.ancilla_count != header.ancilla_count) {
        return std::unexpected(error::SchemaMismatch{"ancilla_count", schema.ancilla_count, header.ancilla_count});
    }
    if (schema.qubit_count != header.qubit_count) {
        return std::unexpected(error::SchemaMismatch{"qubit_count", schema.qubit_count, header.qubit_count});
    }
    if (auto expected_code = code_type_from_schema_word(schema.code_type)) {
        uint32_t expected_number = static_cast<uint8_t>(*expected_code);
        if (expected_number != header.code_type) {
            return std::unexpected(error::SchemaMismatch{"code_type", expected_number, header.code_type});
        }
    }
    return {};
}

}  // namespace veskar
