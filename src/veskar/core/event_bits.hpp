#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

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

// Event k at bit k % 8 of byte k / 8, for out.size() bytes.
inline void bits_to_packed(std::span<const uint64_t> words, std::span<uint8_t> out) {
    if (!out.empty()) std::memcpy(out.data(), words.data(), out.size());
}

}  // namespace veskar
