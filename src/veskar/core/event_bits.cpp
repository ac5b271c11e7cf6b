#include "veskar/core/event_bits.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace veskar {

namespace {

static_assert(std::endian::native == std::endian::little, "words are written out as their bytes");

// kSpread[b]: the eight bits of b as eight bytes of 0 or 1, bit 0 first.
constexpr std::array<uint64_t, 256> make_spread() {
    std::array<uint64_t, 256> spread{};
    for (uint64_t b = 0; b < 256; ++b) {
        for (unsigned bit = 0; bit < 8; ++bit) spread[b] |= ((b >> bit) & 1) << (8 * bit);
    }
    return spread;
}

constexpr std::array<uint64_t, 256> kSpread = make_spread();

void set_bits(uint64_t* words, size_t begin, size_t end) {
    while (begin < end) {
        const size_t bit = begin % 64;
        const size_t take = std::min<size_t>(end - begin, 64 - bit);
        const uint64_t ones = take == 64 ? ~uint64_t{0} : (uint64_t{1} << take) - 1;
        words[begin / 64] |= ones << bit;
        begin += take;
    }
}

// The common frame of at most 64 events, built in a register.
uint64_t one_word(std::span<const uint8_t> runs, size_t n) {
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

}  // namespace

void runs_to_bits(std::span<const uint8_t> runs, size_t n, std::span<uint64_t> words) {
    if (words.size() == 1) {
        words[0] = one_word(runs, n);
        return;
    }
    std::fill(words.begin(), words.end(), 0);
    size_t position = 0;
    for (uint8_t run : runs) {
        if (position >= n) break;
        const size_t end = std::min<size_t>(position + (run & 0x7F), n);
        if (run & 0x80) set_bits(words.data(), position, end);
        position = end;
    }
}

void bits_to_bytes(std::span<const uint64_t> words, std::span<uint8_t> out) {
    const auto* bits = reinterpret_cast<const uint8_t*>(words.data());
    const size_t n = out.size();
    size_t k = 0;
    for (; k + 8 <= n; k += 8) std::memcpy(out.data() + k, &kSpread[bits[k / 8]], 8);
    for (; k < n; ++k) out[k] = (bits[k / 8] >> (k % 8)) & 1;
}

void bits_to_packed(std::span<const uint64_t> words, std::span<uint8_t> out) {
    if (!out.empty()) std::memcpy(out.data(), words.data(), out.size());
}

}  // namespace veskar
