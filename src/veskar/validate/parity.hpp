#pragma once

#include <expected>

#include "veskar/core/error.hpp"
#include "veskar/core/frame.hpp"
#include "veskar/core/schema.hpp"

namespace veskar {

// Recomputes every stabilizer from the measurement results (a result below 1
// flips the parity) and compares it with the frame's detector event at the
// stabilizer's index; fails at the first disagreement.
std::expected<void, VeskarError> check_parity(const SyndromeFrame& frame, const HardwareSchema& schema);

}  // namespace veskar
