#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "veskar/core/schema.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {

// Most detectors a schema can describe: its ancilla count and stabilizer ids
// are 16-bit.
inline constexpr uint64_t kMaxSchemaDetectors = 65535;

struct SchemaTooLarge {
    uint64_t detector_count;
};

std::string message(const SchemaTooLarge& err);

// A schema describing the model's declared detectors as stabilizers, under a
// fresh random schema id: two calls on one model differ only in that id. A
// model with more detectors than a schema holds is refused rather than
// written with its counts and ids wrapped round.
std::expected<HardwareSchema, SchemaTooLarge> schema_from_dem(const DetectorErrorModel& model, std::string_view name);

// A random RFC 4122 version-4 UUID drawn from the system random source.
SchemaId random_uuid_v4();

}  // namespace veskar
