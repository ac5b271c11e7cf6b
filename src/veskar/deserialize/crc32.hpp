#pragma once

#include <cstdint>
#include <span>

namespace veskar {

// CRC-32 of IEEE 802.3 / zlib: reflected polynomial 0xEDB88320, initial value
// and final XOR 0xFFFFFFFF. crc32("123456789") == 0xCBF43926.
uint32_t crc32(std::span<const uint8_t> bytes);

// Continues a CRC over more bytes: crc32_extend(crc32(a), b) == crc32(a ++ b).
uint32_t crc32_extend(uint32_t crc, std::span<const uint8_t> bytes);

}  // namespace veskar
