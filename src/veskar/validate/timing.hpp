#pragma once

#include <cstdint>
#include <expected>

#include "veskar/core/error.hpp"
#include "veskar/core/frame.hpp"

namespace veskar {

// Largest per-ancilla timing offset, in nanoseconds, a frame may report.
inline constexpr uint16_t kMaxTimingOffsetNs = 10000;

// Fails at the first ancilla whose offset exceeds the limit.
std::expected<void, VeskarError> check_timing(const SyndromeFrame& frame);

}  // namespace veskar
