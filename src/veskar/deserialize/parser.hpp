#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <vector>

#include "veskar/core/error.hpp"
#include "veskar/core/frame.hpp"
#include "veskar/core/uuid.hpp"

namespace veskar {

inline constexpr uint32_t kTolmMagic = 0x544F4C4D;  // the bytes "MLOT" on the wire
inline constexpr uint16_t kTolmVersion = 1;
inline constexpr size_t kFileHeaderSize = 26;
inline constexpr size_t kFrameHeaderSize = 36;
inline constexpr size_t kFrameHeaderCrcOffset = 32;
inline constexpr size_t kTrailerSize = 6;
inline constexpr uint16_t kTrailerMarker = 0xFFFF;
inline constexpr size_t kAnnotationRecordSize = 10;

struct FileHeader {
    uint32_t magic = 0;
    uint16_t version = 0;
    SchemaId schema_id{};
    uint32_t header_aux = 0;
};

template <typename T>
struct Parsed {
    T value;
    size_t used;
};

template <typename T>
inline T read_le(const uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;  // the format is little-endian, as is every host we build for
}

// Checks length, magic and version, in that order; reads the first 26 bytes.
std::expected<Parsed<FileHeader>, VeskarError> parse_file_header(std::span<const uint8_t> bytes);

// The fields of the 36-byte frame header at `p`, unchecked.
inline FrameHeader frame_header_fields(const uint8_t* p) {
    FrameHeader header;
    header.frame_id = read_le<uint64_t>(p);
    header.round = read_le<uint32_t>(p + 8);
    header.timestamp_ns = read_le<uint64_t>(p + 12);
    header.qubit_count = read_le<uint16_t>(p + 20);
    header.ancilla_count = read_le<uint16_t>(p + 22);
    header.frame_aux = read_le<uint32_t>(p + 24);
    header.code_type = p[28];
    header.distance = p[29];
    header.flags = read_le<uint16_t>(p + 30);
    header.header_crc = read_le<uint32_t>(p + kFrameHeaderCrcOffset);
    return header;
}

// Checks length, then the CRC-32 of bytes 0..31 against header_crc.
std::expected<Parsed<FrameHeader>, VeskarError> parse_frame_header(std::span<const uint8_t> bytes);

// The count byte K and its records; reads only whole records present.
std::vector<Annotation> parse_annotations(std::span<const uint8_t> bytes);

// Expands the run-length code into exactly n entries of 0 or 1, cutting runs
// past n and padding with 0. `out` is resized to n.
void decode_rle_events(std::span<const uint8_t> runs, size_t n, std::vector<uint8_t>& out);
// The same into `out`, n = out.size().
void decode_rle_events(std::span<const uint8_t> runs, std::span<uint8_t> out);
std::vector<uint8_t> decode_rle_events(std::span<const uint8_t> runs, size_t n);

// Applies one metadata entry: known tags of the right length set their field,
// everything else is skipped. Later entries overwrite earlier ones.
void apply_metadata_entry(FrameMetadata& metadata, uint16_t tag, std::span<const uint8_t> value);

// Bytes of sections 2 to 5 (events, results, timing offsets, bitmap) that
// follow the u16 events length of a frame.
size_t fixed_payload_size(const FrameHeader& header, uint16_t events_length);

}  // namespace veskar
