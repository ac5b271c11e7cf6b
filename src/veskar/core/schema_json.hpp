#pragma once

#include <string>

#include "veskar/core/schema.hpp"

namespace veskar {

// The schema as pretty-printed JSON: two-space indentation, members in field
// order, absent optional fields left out, no trailing newline. Cannot fail.
std::string to_json(const HardwareSchema& schema);

}  // namespace veskar
