#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace veskar {

// The 36-byte frame header as decoded from the stream.
struct FrameHeader {
    uint64_t frame_id = 0;
    uint32_t round = 0;
    uint64_t timestamp_ns = 0;
    uint16_t qubit_count = 0;
    uint16_t ancilla_count = 0;
    uint32_t frame_aux = 0;
    uint8_t code_type = 0;  // a CodeType discriminant, carried unchecked
    uint8_t distance = 0;
    uint16_t flags = 0;
    uint32_t header_crc = 0;
};

// Bits of FrameHeader::flags naming the optional payload sections.
inline constexpr uint16_t kFlagTimingOffsets = 0x0001;
inline constexpr uint16_t kFlagAncillaBitmap = 0x0002;
inline constexpr uint16_t kFlagMetadata = 0x0004;
inline constexpr uint16_t kFlagAnnotations = 0x0008;

// Every field is absent unless the frame's metadata block sets it.
struct FrameMetadata {
    std::optional<uint64_t> observable_flips;  // bit k = logical observable k flipped
    std::optional<std::string> label;
    std::optional<uint32_t> aux_a;
    std::optional<uint32_t> aux_b;
    std::optional<uint8_t> aux_byte;

    bool operator==(const FrameMetadata&) const = default;
};

struct Annotation {
    uint64_t value = 0;
    uint8_t kind = 0;
    uint8_t detail = 0;

    bool operator==(const Annotation&) const = default;
};

// Timing offsets as they lie in the stream: little-endian u16 pairs, not
// necessarily aligned, so they are viewed as bytes and read one at a time.
struct TimingOffsets {
    std::span<const uint8_t> bytes;

    size_t size() const { return bytes.size() / 2; }
    bool empty() const { return bytes.empty(); }
    uint16_t operator[](size_t i) const { return static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); }
};

// One decoded frame. The byte sections are views into the reader's buffer,
// valid only until the reader's next call; the metadata and annotations are
// owned.
struct SyndromeFrame {
    FrameHeader header;
    std::span<const uint8_t> detector_events;  // run-length coded, one run per byte
    std::span<const int8_t> meas_results;      // one result per ancilla
    TimingOffsets timing_offsets;              // empty when the section is absent
    std::span<const uint8_t> ancilla_bitmap;   // empty when the section is absent
    std::optional<FrameMetadata> metadata;
    std::optional<std::vector<Annotation>> annotations;

    // Fired detectors among the ancilla_count events the frame hands out,
    // counted on the run-length code without expanding it: runs past
    // ancilla_count are cut, as the expansion cuts them.
    uint32_t detector_event_count() const;
};

// Fired events (runs with bit 7 set) among the first n events a run-length
// code expands to.
uint32_t count_fired_events(std::span<const uint8_t> runs, uint32_t n);

}  // namespace veskar
