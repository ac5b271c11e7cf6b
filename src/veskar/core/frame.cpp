#include "veskar/core/frame.hpp"

#include <algorithm>
#include <cstring>

namespace veskar {

namespace {

constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7FULL;
constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFULL;

// Sum of the eight bytes of `word`, each at most 127.
inline uint64_t byte_sum(uint64_t word) {
    // Pairwise to 16-bit lanes (each at most 254), then add the four lanes.
    uint64_t pairs = (word & kEvenBytes) + ((word >> 8) & kEvenBytes);
    return (pairs * 0x0001000100010001ULL) >> 48;
}

// Run lengths of a word of eight runs: all of them, and the fired ones.
struct RunSums {
    uint64_t all;
    uint64_t fired;
};

inline RunSums run_sums(uint64_t word) {
    // 0x7F in every byte whose bit 7 is set, 0x00 elsewhere.
    uint64_t fired_mask = ((word >> 7) & 0x0101010101010101ULL) * 0x7F;
    uint64_t lengths = word & kLowBits;
    return {byte_sum(lengths), byte_sum(lengths & fired_mask)};
}

// The same over four bytes and four runs.
inline uint32_t byte_sum(uint32_t word) {
    uint32_t pairs = (word & 0x00FF00FFU) + ((word >> 8) & 0x00FF00FFU);
    return (pairs + (pairs >> 16)) & 0xFFFFU;
}

inline RunSums run_sums(uint32_t word) {
    uint32_t fired_mask = ((word >> 7) & 0x01010101U) * 0x7F;
    uint32_t lengths = word & 0x7F7F7F7FU;
    return {byte_sum(lengths), byte_sum(lengths & fired_mask)};
}

// Adds one word of runs to the running totals unless it reaches past the
// cut; false leaves the word to the byte-by-byte walk.
template <typename Word>
inline bool take_word(const uint8_t* data, uint64_t n, uint64_t& position, uint64_t& fired) {
    Word word;
    std::memcpy(&word, data, sizeof(word));
    const RunSums sums = run_sums(word);
    if (position + sums.all > n) return false;
    position += sums.all;
    fired += sums.fired;
    return true;
}

}  // namespace

uint32_t count_fired_events(std::span<const uint8_t> runs, uint32_t n) {
    const uint8_t* data = runs.data();
    const size_t size = runs.size();
    size_t i = 0;
    uint64_t position = 0;  // events expanded so far
    uint64_t fired = 0;
    // 32 bytes a step as four independent words, then 8, then 4, while the
    // whole step lies before the cut; the step that crosses it, and the
    // tail, byte by byte.
    for (; i + 32 <= size; i += 32) {
        uint64_t words[4];
        std::memcpy(words, data + i, sizeof(words));
        const RunSums a = run_sums(words[0]);
        const RunSums b = run_sums(words[1]);
        const RunSums c = run_sums(words[2]);
        const RunSums d = run_sums(words[3]);
        const uint64_t all = a.all + b.all + c.all + d.all;
        if (position + all > n) break;
        position += all;
        fired += a.fired + b.fired + c.fired + d.fired;
    }
    while (i + 8 <= size && take_word<uint64_t>(data + i, n, position, fired)) i += 8;
    while (i + 4 <= size && take_word<uint32_t>(data + i, n, position, fired)) i += 4;
    for (; i < size && position < n; ++i) {
        const uint64_t taken = std::min<uint64_t>(data[i] & 0x7F, n - position);
        fired += taken & (uint64_t{0} - (data[i] >> 7));
        position += taken;
    }
    return static_cast<uint32_t>(fired);
}

uint32_t SyndromeFrame::detector_event_count() const {
    return count_fired_events(detector_events, header.ancilla_count);
}

}  // namespace veskar
