#include "veskar/core/event_bits.hpp"

namespace veskar {

namespace {

void set_bits(uint64_t* words, size_t begin, size_t end) {
    while (begin < end) {
        const size_t bit = begin % 64;
        const size_t take = std::min<size_t>(end - begin, 64 - bit);
        const uint64_t ones = take == 64 ? ~uint64_t{0} : (uint64_t{1} << take) - 1;
        words[begin / 64] |= ones << bit;
        begin += take;
    }
}

}  // namespace

void runs_to_words(std::span<const uint8_t> runs, size_t n, std::span<uint64_t> words) {
    std::fill(words.begin(), words.end(), 0);
    size_t position = 0;
    for (uint8_t run : runs) {
        if (position >= n) break;
        const size_t end = std::min<size_t>(position + (run & 0x7F), n);
        if (run & 0x80) set_bits(words.data(), position, end);
        position = end;
    }
}

}  // namespace veskar
