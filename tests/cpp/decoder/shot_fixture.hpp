#pragma once

// Reader of the sampled-shot fixtures written by
// tests/data/make_decoder_fixtures.py (the format is described there), shared
// by the accuracy test and the accuracy table under bench/.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "veskar/core/window.hpp"

namespace veskar::testing_support {

struct ShotFixture {
    uint32_t num_detectors = 0;
    uint32_t ancillas_per_round = 0;
    uint32_t window_depth = 0;
    uint32_t num_shots = 0;
    uint32_t mask_bytes = 0;
    std::vector<uint8_t> records;

    size_t event_bytes() const { return (num_detectors + 7) / 8; }
    size_t record_bytes() const { return event_bytes() + 2 * size_t{mask_bytes}; }
    const uint8_t* record(size_t shot) const { return records.data() + shot * record_bytes(); }

    bool fired(size_t shot, uint32_t detector) const { return (record(shot)[detector / 8] >> (detector % 8)) & 1; }
    uint64_t truth(size_t shot) const { return mask_at(record(shot) + event_bytes()); }
    uint64_t pymatching(size_t shot) const { return mask_at(record(shot) + event_bytes() + mask_bytes); }

    // Pushes the shot into `window` round by round, as a stream would.
    void push_shot(size_t shot, SyndromeWindow& window) const {
        for (uint32_t round = 0; round < window_depth; ++round) {
            OwnedSyndromeData data;
            data.detector_events.resize(ancillas_per_round);
            for (uint32_t a = 0; a < ancillas_per_round; ++a) {
                data.detector_events[a] = fired(shot, round * ancillas_per_round + a) ? 1 : 0;
            }
            data.frame_id = uint64_t{shot} * window_depth + round;
            data.round = round;
            window.push_owned(std::move(data));
        }
    }

   private:
    uint64_t mask_at(const uint8_t* p) const {
        uint64_t mask = 0;
        for (uint32_t i = 0; i < mask_bytes; ++i) mask |= uint64_t{p[i]} << (8 * i);
        return mask;
    }
};

inline std::optional<ShotFixture> read_shot_fixture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr size_t kHeader = 28;
    if (bytes.size() < kHeader || std::memcmp(bytes.data(), "VXSH", 4) != 0) return std::nullopt;
    uint32_t fields[6];
    for (int i = 0; i < 6; ++i) {
        const uint8_t* p = bytes.data() + 4 + 4 * i;
        fields[i] = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }
    if (fields[0] != 1) return std::nullopt;
    ShotFixture fixture;
    fixture.num_detectors = fields[1];
    fixture.ancillas_per_round = fields[2];
    fixture.window_depth = fields[3];
    fixture.num_shots = fields[4];
    fixture.mask_bytes = fields[5];
    if (fixture.mask_bytes < 1 || fixture.mask_bytes > 8) return std::nullopt;
    if (uint64_t{fixture.ancillas_per_round} * fixture.window_depth != fixture.num_detectors) return std::nullopt;
    if (bytes.size() != kHeader + fixture.num_shots * fixture.record_bytes()) return std::nullopt;
    fixture.records.assign(bytes.begin() + kHeader, bytes.end());
    return fixture;
}

}  // namespace veskar::testing_support
