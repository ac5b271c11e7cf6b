#pragma once

// Writes TOLM bytes for tests: a file header, then frames with any mix of
// optional sections, with or without trailers, correct unless told otherwise.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "veskar/core/frame.hpp"
#include "veskar/core/uuid.hpp"
#include "veskar/deserialize/crc32.hpp"

namespace veskar::testing_support {

struct MetadataEntry {
    uint16_t tag;
    std::vector<uint8_t> value;
};

struct FrameSpec {
    uint64_t frame_id = 0;
    uint32_t round = 0;
    uint64_t timestamp_ns = 0;
    uint16_t qubit_count = 0;
    uint16_t ancilla_count = 0;
    uint32_t frame_aux = 0;
    uint8_t code_type = 1;
    uint8_t distance = 3;
    std::vector<uint8_t> detector_runs;
    std::vector<int8_t> meas_results;  // ancilla_count entries
    std::optional<std::vector<uint16_t>> timing_offsets;
    std::optional<std::vector<uint8_t>> ancilla_bitmap;
    std::optional<std::vector<MetadataEntry>> metadata;
    std::optional<std::vector<Annotation>> annotations;
    bool trailer = true;
    uint16_t extra_flags = 0;
};

inline void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

inline std::vector<uint8_t> u64_bytes(uint64_t v) {
    std::vector<uint8_t> out;
    put_u64(out, v);
    return out;
}

inline std::vector<uint8_t> file_header(const SchemaId& id = {}, uint16_t version = 1, uint32_t magic = 0x544F4C4D) {
    std::vector<uint8_t> out;
    put_u32(out, magic);
    put_u16(out, version);
    out.insert(out.end(), id.begin(), id.end());
    put_u32(out, 0xA5A5A5A5);
    return out;
}

inline uint16_t flags_of(const FrameSpec& f) {
    uint16_t flags = f.extra_flags;
    if (f.timing_offsets) flags |= kFlagTimingOffsets;
    if (f.ancilla_bitmap) flags |= kFlagAncillaBitmap;
    if (f.metadata) flags |= kFlagMetadata;
    if (f.annotations) flags |= kFlagAnnotations;
    return flags;
}

inline std::vector<uint8_t> frame_header_bytes(const FrameSpec& f) {
    std::vector<uint8_t> out;
    put_u64(out, f.frame_id);
    put_u32(out, f.round);
    put_u64(out, f.timestamp_ns);
    put_u16(out, f.qubit_count);
    put_u16(out, f.ancilla_count);
    put_u32(out, f.frame_aux);
    out.push_back(f.code_type);
    out.push_back(f.distance);
    put_u16(out, flags_of(f));
    put_u32(out, crc32(out));
    return out;
}

inline std::vector<uint8_t> frame_bytes(const FrameSpec& f) {
    std::vector<uint8_t> header = frame_header_bytes(f);
    std::vector<uint8_t> out = header;
    put_u16(out, static_cast<uint16_t>(f.detector_runs.size()));
    out.insert(out.end(), f.detector_runs.begin(), f.detector_runs.end());
    for (int8_t r : f.meas_results) out.push_back(static_cast<uint8_t>(r));
    if (f.timing_offsets) {
        for (uint16_t t : *f.timing_offsets) put_u16(out, t);
    }
    if (f.ancilla_bitmap) out.insert(out.end(), f.ancilla_bitmap->begin(), f.ancilla_bitmap->end());
    if (f.metadata) {
        put_u16(out, static_cast<uint16_t>(f.metadata->size()));
        for (const auto& entry : *f.metadata) {
            put_u16(out, entry.tag);
            put_u16(out, static_cast<uint16_t>(entry.value.size()));
            out.insert(out.end(), entry.value.begin(), entry.value.end());
        }
    }
    if (f.annotations) {
        out.push_back(static_cast<uint8_t>(f.annotations->size()));
        for (const auto& a : *f.annotations) {
            out.push_back(a.kind);
            put_u64(out, a.value);
            out.push_back(a.detail);
        }
    }
    if (f.trailer) {
        put_u16(out, 0xFFFF);
        put_u32(out, crc32(header));
    }
    return out;
}

// A 24-ancilla frame such as a distance-5 surface code emits every round.
inline FrameSpec surface_round(uint64_t frame_id) {
    FrameSpec f;
    f.frame_id = frame_id;
    f.round = static_cast<uint32_t>(frame_id);
    f.timestamp_ns = 1000 * frame_id;
    f.qubit_count = 49;
    f.ancilla_count = 24;
    f.distance = 5;
    f.detector_runs = {0x05, 0x81, 0x0A, 0x82, 0x06};
    f.meas_results.assign(24, 1);
    f.meas_results[5] = 0;
    f.meas_results[16] = -1;
    f.meas_results[17] = 0;
    return f;
}

// A frame that exercises every optional section with contents derived from its id.
inline FrameSpec rich_frame(uint64_t frame_id) {
    FrameSpec f;
    f.frame_id = frame_id;
    f.round = static_cast<uint32_t>(frame_id * 3);
    f.timestamp_ns = 77 + frame_id;
    f.qubit_count = 17;
    f.ancilla_count = static_cast<uint16_t>(3 + frame_id % 11);
    f.code_type = static_cast<uint8_t>(1 + frame_id % 8);
    f.detector_runs = {static_cast<uint8_t>(0x80 | (frame_id % 5)), static_cast<uint8_t>(frame_id % 3), 0x81};
    for (uint16_t i = 0; i < f.ancilla_count; ++i) f.meas_results.push_back(static_cast<int8_t>(i * 37 + frame_id));
    f.timing_offsets.emplace();
    for (uint16_t i = 0; i < f.ancilla_count; ++i)
        f.timing_offsets->push_back(static_cast<uint16_t>(i * 100 + frame_id));
    f.ancilla_bitmap = std::vector<uint8_t>((f.ancilla_count + 7) / 8, static_cast<uint8_t>(frame_id * 13));
    std::string label = "round-" + std::to_string(frame_id);
    f.metadata = std::vector<MetadataEntry>{
        {1, std::vector<uint8_t>(label.begin(), label.end())},
        {16, u64_bytes(frame_id * 0x0101)},
        {2, {1, 2, 3, 4}},
        {99, {9, 9, 9}},
    };
    f.annotations = std::vector<Annotation>{{frame_id, 7, 1}, {~frame_id, 8, 2}};
    return f;
}

inline std::vector<uint8_t> stream_of(const std::vector<FrameSpec>& frames, const SchemaId& id = {}) {
    std::vector<uint8_t> out = file_header(id);
    for (const auto& f : frames) {
        auto bytes = frame_bytes(f);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return out;
}

}  // namespace veskar::testing_support
