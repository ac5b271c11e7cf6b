// CRC-32 by carry-less multiplication, after Intel's "Fast CRC Computation
// for Generic Polynomials Using PCLMULQDQ": each 16 bytes are folded into a
// 128-bit remainder with two multiplications instead of sixteen table
// lookups, and the remainder is cut to 32 bits by a Barrett reduction. The
// constants are powers of x modulo the bit-reflected polynomial.

#include <cstring>

#include "veskar/deserialize/crc32.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace veskar::crc32_forms {

#if defined(__x86_64__)

// Asks the CPU on every call: callers that need the answer often keep it.
bool folding_available() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

namespace {

// x mod P for the 64-bit reflected polynomial in the low half of x; the
// 32-bit remainder is its second dword.
__attribute__((target("pclmul,sse4.1"))) inline uint32_t barrett_reduce(__m128i x) {
    // The reflected polynomial and its Barrett quotient floor(x^64 / P).
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i low_32 = _mm_set_epi32(0, 0, 0, -1);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low_32), barrett, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low_32), barrett, 0x00);
    return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

// The register after `count` (at least one) whole 16-byte blocks.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold_blocks(uint32_t state, const uint8_t* data, size_t count) {
    const __m128i* blocks = reinterpret_cast<const __m128i*>(data);
    // x^(128+32) and x^(128-32) mod P, for folding one block onto the next.
    const __m128i fold_128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i fold_32 = _mm_set_epi64x(0, 0x163cd6124);  // x^64 mod P
    const __m128i low_32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x = _mm_xor_si128(_mm_loadu_si128(blocks), _mm_cvtsi32_si128(static_cast<int>(state)));
    for (size_t i = 1; i < count; ++i) {
        const __m128i low = _mm_clmulepi64_si128(x, fold_128, 0x00);
        const __m128i high = _mm_clmulepi64_si128(x, fold_128, 0x11);
        x = _mm_xor_si128(_mm_xor_si128(low, high), _mm_loadu_si128(blocks + i));
    }
    // 128 bits to 64, appending the 32 zero bits a CRC implies, then to 32.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, fold_128, 0x10), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low_32), fold_32, 0x00), _mm_srli_si128(x, 4));
    return barrett_reduce(x);
}

}  // namespace

// After the blocks, four bytes at a time: the register XOR the word, as a
// 64-bit value, is the word's polynomial times x^32, which one reduction
// takes mod P. The last 0 to 3 bytes go by table.
__attribute__((target("pclmul,sse4.1"))) uint32_t folding_update(uint32_t state, std::span<const uint8_t> bytes) {
    const uint8_t* data = bytes.data();
    size_t size = bytes.size();
    if (size >= 16) {
        state = fold_blocks(state, data, size / 16);
        data += size & ~size_t{15};
        size &= 15;
    }
    for (; size >= 4; data += 4, size -= 4) {
        uint32_t word;
        std::memcpy(&word, data, 4);
        state = barrett_reduce(_mm_cvtsi32_si128(static_cast<int>(state ^ word)));
    }
    return size == 0 ? state : table_update(state, {data, size});
}

#else

bool folding_available() {
    return false;
}

uint32_t folding_update(uint32_t state, std::span<const uint8_t> bytes) {
    return table_update(state, bytes);
}

#endif

}  // namespace veskar::crc32_forms
