#include "veskar/deserialize/crc32.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace veskar {

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320U;

// Slicing-by-8: table[k][b] is the CRC contribution of byte b followed by k
// zero bytes, so eight input bytes are folded with eight independent lookups.
using SliceTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr SliceTables make_tables() {
    SliceTables tables{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ kPolynomial : crc >> 1;
        }
        tables[0][b] = crc;
    }
    for (uint32_t b = 0; b < 256; ++b) {
        for (size_t k = 1; k < 8; ++k) {
            uint32_t previous = tables[k - 1][b];
            tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr SliceTables kTables = make_tables();

static_assert(kTables[0][1] == 0x77073096U, "first entry of the reflected CRC-32 table");

}  // namespace

namespace crc32_forms {

uint32_t table_update(uint32_t state, std::span<const uint8_t> bytes) {
    const uint8_t* data = bytes.data();
    size_t size = bytes.size();
    while (size >= 8) {
        uint32_t low;
        uint32_t high;
        std::memcpy(&low, data, 4);
        std::memcpy(&high, data + 4, 4);
        low ^= state;
        state = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
                kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
                kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
        data += 8;
        size -= 8;
    }
    while (size > 0) {
        state = (state >> 8) ^ kTables[0][(state ^ *data) & 0xFF];
        ++data;
        --size;
    }
    return state;
}

}  // namespace crc32_forms

namespace {

// Asked once at load time, so that each CRC pays one load for the choice.
const bool kFolding = crc32_forms::folding_available();

uint32_t update(uint32_t state, std::span<const uint8_t> bytes) {
    return kFolding ? crc32_forms::folding_update(state, bytes) : crc32_forms::table_update(state, bytes);
}

}  // namespace

static_assert(std::endian::native == std::endian::little, "the slicing step reads words little-endian");

uint32_t crc32(std::span<const uint8_t> bytes) {
    return update(0xFFFFFFFFU, bytes) ^ 0xFFFFFFFFU;
}

uint32_t crc32_extend(uint32_t crc, std::span<const uint8_t> bytes) {
    return update(crc ^ 0xFFFFFFFFU, bytes) ^ 0xFFFFFFFFU;
}

}  // namespace veskar
