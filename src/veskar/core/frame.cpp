#include "veskar/core/frame.hpp"

#include <cstring>

namespace veskar {

namespace {

// Sum of (b & 0x7F) over the bytes b of `word` whose bit 7 is set.
inline uint64_t fired_run_sum(uint64_t word) {
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7FULL;
    constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFULL;
    // 0xFF in every byte whose bit 7 is set, 0x00 elsewhere.
    uint64_t fired_mask = ((word & kHighBits) >> 7) * 0xFF;
    uint64_t lengths = word & kLowBits & fired_mask;
    // Pairwise to 16-bit lanes (each at most 254), then add the four lanes.
    uint64_t pairs = (lengths & kEvenBytes) + ((lengths >> 8) & kEvenBytes);
    return (pairs * 0x0001000100010001ULL) >> 48;
}

inline uint32_t fired_run_sum(uint32_t word) {
    uint32_t fired_mask = ((word & 0x80808080U) >> 7) * 0xFF;
    uint32_t lengths = word & 0x7F7F7F7FU & fired_mask;
    uint32_t pairs = (lengths & 0x00FF00FFU) + ((lengths >> 8) & 0x00FF00FFU);
    return (pairs + (pairs >> 16)) & 0xFFFFU;
}

}  // namespace

uint32_t count_fired_events(std::span<const uint8_t> runs) {
    const uint8_t* data = runs.data();
    size_t size = runs.size();
    size_t i = 0;
    uint32_t total = 0;
    // 32 bytes a step as four independent words, then 4, then single bytes.
    for (; i + 32 <= size; i += 32) {
        uint64_t words[4];
        std::memcpy(words, data + i, sizeof(words));
        total += static_cast<uint32_t>(fired_run_sum(words[0]) + fired_run_sum(words[1]) + fired_run_sum(words[2]) +
                                       fired_run_sum(words[3]));
    }
    for (; i + 4 <= size; i += 4) {
        uint32_t word;
        std::memcpy(&word, data + i, sizeof(word));
        total += fired_run_sum(word);
    }
    for (; i < size; ++i) {
        if (data[i] & 0x80) {
            total += data[i] & 0x7F;
        }
    }
    return total;
}

uint32_t SyndromeFrame::detector_event_count() const {
    return count_fired_events(detector_events);
}

}  // namespace veskar
