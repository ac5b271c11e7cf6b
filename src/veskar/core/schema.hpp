#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "veskar/core/error.hpp"
#include "veskar/core/uuid.hpp"

namespace veskar {

enum class StabilizerType : uint8_t { X = 0, Z = 1 };

struct StabilizerEntry {
    uint16_t id = 0;
    StabilizerType type = StabilizerType::X;
    std::vector<uint16_t> qubits;  // indices into a frame's measurement results
};

// One device layout. Field order is also the key order of its JSON form.
struct HardwareSchema {
    SchemaId schema_id{};
    std::string version;
    std::string name;
    std::string description;
    std::string code_type;  // a word such as "surface"; unknown words disable the code-type check
    uint8_t distance = 0;
    uint16_t qubit_count = 0;
    uint16_t ancilla_count = 0;
    std::vector<StabilizerEntry> stabilizers;  // position = stabilizer index
    float measurement_cycle_us = 0.0f;
    std::string ancilla_layout;
    std::optional<std::string> ldpc_hz_matrix;
    std::optional<std::string> ldpc_hx_matrix;
    std::optional<std::string> logical_z_matrix;
    std::optional<std::string> logical_x_matrix;
    std::optional<double> encoding_rate;
    std::optional<std::string> dem_path;
};

struct SchemaIdHash {
    size_t operator()(const SchemaId& id) const noexcept;
};

// Schemas keyed by their 16-byte id.
class SchemaRegistry {
   public:
    SchemaRegistry() = default;

    // The stored schema, or SchemaNotFound carrying the id.
    std::expected<const HardwareSchema*, VeskarError> get(const SchemaId& id) const;

    // Adds or replaces the schema under its own id (used by embedders and tests).
    void insert(HardwareSchema schema);

    bool empty() const { return schemas_.empty(); }

   private:
    std::unordered_map<SchemaId, HardwareSchema, SchemaIdHash> schemas_;
};

}  // namespace veskar
