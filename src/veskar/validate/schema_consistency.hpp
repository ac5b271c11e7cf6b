#pragma once

#include <expected>
#include <optional>
#include <string_view>

#include "veskar/core/code.hpp"
#include "veskar/core/error.hpp"
#include "veskar/core/frame.hpp"
#include "veskar/core/schema.hpp"

namespace veskar {

// The code family a schema's code_type word names; nothing for words the
// check does not know (matching is exact and case-sensitive).
std::optional<CodeType> code_type_from_schema_word(std::string_view word);

// Compares ancilla count, qubit count and (for known words) code type, in
// that order; the first difference fails.
std::expected<void, VeskarError> check_schema_consistency(const SyndromeFrame& frame, const HardwareSchema& schema);

}  // namespace veskar
