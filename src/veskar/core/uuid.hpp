#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace veskar {

// A 16-byte UUID in RFC 4122 byte order, as stored in the TOLM file header.
using SchemaId = std::array<uint8_t, 16>;

// Hyphenated lower-case form, 8-4-4-4-12 hex digits, bytes in stored order.
std::string format_uuid(const SchemaId& id);

}  // namespace veskar
