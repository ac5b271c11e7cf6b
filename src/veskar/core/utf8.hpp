#pragma once

#include <cstdint>
#include <span>

namespace veskar {

// Strict UTF-8: no overlong forms, surrogates or values past U+10FFFF.
bool is_valid_utf8(std::span<const uint8_t> bytes);

}  // namespace veskar
