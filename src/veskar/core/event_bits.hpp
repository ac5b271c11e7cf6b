#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace veskar {

// A frame's detector events as a bit set, event k at bit k % 64 of word
// k / 64: the form a bulk reader builds once per frame and writes out as a
// row of bytes or of packed bits. What a frame of up to 64 events needs is
// inline here, so that it compiles into the reader's loop.

static_assert(std::endian::native == std::endian::little, "words are written out as their bytes");

// Words needed for n events.
inline constexpr size_t event_words(size_t n) {
    return (n + 63) / 64;
}

// The fired events among the first n (at most 64) a run-length code
// expands to, cutting runs past n as the byte expansion does.
inline uint64_t runs_to_word(std::span<const uint8_t> runs, size_t n) {
    uint64_t word = 0;
    size_t position = 0;
    for (uint8_t run : runs) {
        if (position >= n) break;
        const size_t end = std::min<size_t>(position + (run & 0x7F), n);
        if ((run & 0x80) && end > position) word |= (~uint64_t{0} >> (64 - (end - position))) << position;
        position = end;
    }
    return word;
}

// The same for any n, into event_words(n) words.
void runs_to_words(std::span<const uint8_t> runs, size_t n, std::span<uint64_t> words);

// Sets `words` (event_words(n) of them) to the fired events among the first n.
inline void runs_to_bits(std::span<const uint8_t> runs, size_t n, std::span<uint64_t> words) {
    if (words.size() == 1) {
        words[0] = runs_to_word(runs, n);
    } else {
        runs_to_words(runs, n, words);
    }
}

// kEventSpread[b]: the eight bits of b as eight bytes of 0 or 1, bit 0 first.
inline constexpr std::array<uint64_t, 256> kEventSpread = [] {
    std::array<uint64_t, 256> spread{};
    for (uint64_t b = 0; b < 256; ++b) {
        for (unsigned bit = 0; bit < 8; ++bit) spread[b] |= ((b >> bit) & 1) << (8 * bit);
    }
    return spread;
}();

// Event k as byte k, 0 or 1, for the out.size() first events.
inline void bits_to_bytes(std::span<const uint64_t> words, std::span<uint8_t> out) {
    const auto* bits = reinterpret_cast<const uint8_t*>(words.data());
    const size_t n = out.size();
    size_t k = 0;
    for (; k + 8 <= n; k += 8) std::memcpy(out.data() + k, &kEventSpread[bits[k / 8]], 8);
    for (; k < n; ++k) out[k] = (bits[k / 8] >> (k % 8)) & 1;
}

// 1 in each byte of `word` that is not 0, 0 in the others: the low seven
// bits of a byte carry into its top bit when any is set.
inline uint64_t nonzero_bytes(uint64_t word) {
    constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7f;
    return ((((word & kLow7) + kLow7) | word) >> 7) & 0x0101010101010101;
}

// Bit k set when byte k of `word` is not 0: with one bit per byte, the
// multiplication adds each byte's bit into the top byte at its own place
// and nowhere else.
inline uint64_t nonzero_byte_bits(uint64_t word) {
    return (nonzero_bytes(word) * 0x0102040810204080) >> 56;
}

// The reverse of bits_to_bytes: event k fired when bytes[k] is not 0, for
// up to 64 bytes, as one word. Sixteen bytes to a compare and a mask where
// SSE2 is there, eight to a word otherwise.
inline uint64_t bytes_to_word(std::span<const uint8_t> bytes) {
    const uint8_t* const data = bytes.data();
    const size_t n = bytes.size();
    uint64_t word = 0;
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; k + 16 <= n; k += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k));
        const auto zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, zero)));
        word |= uint64_t{~zeros & 0xFFFFu} << k;
    }
#endif
    for (; k + 8 <= n; k += 8) {
        uint64_t eight;
        std::memcpy(&eight, data + k, sizeof eight);
        word |= nonzero_byte_bits(eight) << k;
    }
    if (k < n) {
        uint64_t rest = 0;
        std::memcpy(&rest, data + k, n - k);
        word |= nonzero_byte_bits(rest) << k;
    }
    return word;
}

// Event k at bit k % 8 of byte k / 8, for out.size() bytes.
inline void bits_to_packed(std::span<const uint64_t> words, std::span<uint8_t> out) {
    if (!out.empty()) std::memcpy(out.data(), words.data(), out.size());
}

}  // namespace veskar
