#pragma once

#include <cstdint>
#include <span>

namespace veskar {

// CRC-32 of IEEE 802.3 / zlib: reflected polynomial 0xEDB88320, initial value
// and final XOR 0xFFFFFFFF. crc32("123456789") == 0xCBF43926.
uint32_t crc32(std::span<const uint8_t> bytes);

// Continues a CRC over more bytes: crc32_extend(crc32(a), b) == crc32(a ++ b).
uint32_t crc32_extend(uint32_t crc, std::span<const uint8_t> bytes);

// The CRC of any bytes followed by their own CRC, little-endian: the same
// for every message, so a CRC over a block that ends in its checked CRC
// needs no computing.
inline constexpr uint32_t kCrc32Residue = 0x2144DF1CU;

// The two ways crc32 advances its register (the CRC before the final XOR),
// named so that tests can hold one against the other. The table form runs
// anywhere; the folding form needs carry-less multiply, and crc32 takes it
// wherever folding_available().
namespace crc32_forms {
uint32_t table_update(uint32_t state, std::span<const uint8_t> bytes);
bool folding_available();
// Only where folding_available().
uint32_t folding_update(uint32_t state, std::span<const uint8_t> bytes);
}  // namespace crc32_forms

}  // namespace veskar
