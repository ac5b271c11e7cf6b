#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace veskar {

// A frame's detector events as a bit set, event k at bit k % 64 of word
// k / 64: the form a bulk reader builds once per frame and writes out as a
// row of bytes or of packed bits.

// Words needed for n events.
inline constexpr size_t event_words(size_t n) {
    return (n + 63) / 64;
}

// Clears `words` (event_words(n) of them) and sets the bits of the fired
// events among the first n the run-length code expands to, cutting runs
// past n as the byte expansion does.
void runs_to_bits(std::span<const uint8_t> runs, size_t n, std::span<uint64_t> words);

// Event k as byte k, 0 or 1, for the out.size() first events.
void bits_to_bytes(std::span<const uint64_t> words, std::span<uint8_t> out);

// Event k at bit k % 8 of byte k / 8, for out.size() bytes.
void bits_to_packed(std::span<const uint64_t> words, std::span<uint8_t> out);

}  // namespace veskar
