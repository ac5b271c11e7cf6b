#pragma once

#include <string_view>

#include "veskar/core/schema.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {

// A schema describing the model's declared detectors as stabilizers, under a
// fresh random schema id: two calls on one model differ only in that id.
HardwareSchema schema_from_dem(const DetectorErrorModel& model, std::string_view name);

// A random RFC 4122 version-4 UUID drawn from the system random source.
SchemaId random_uuid_v4();

}  // namespace veskar
