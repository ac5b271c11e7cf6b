#include "veskar/deserialize/whole_frame.hpp"

#include "veskar/deserialize/crc32.hpp"

namespace veskar {

namespace {

// Offset just past a metadata block at `at`, or nullopt when the block runs
// past the bytes at hand.
std::optional<size_t> metadata_end(std::span<const uint8_t> bytes, size_t at) {
    if (bytes.size() < at + 2) return std::nullopt;
    size_t entries = read_le<uint16_t>(bytes.data() + at);
    at += 2;
    for (; entries > 0; --entries) {
        if (bytes.size() < at + 4) return std::nullopt;
        at += 4 + size_t{read_le<uint16_t>(bytes.data() + at + 2)};
    }
    if (bytes.size() < at) return std::nullopt;
    return at;
}

}  // namespace

std::optional<FrameExtent> whole_frame_extent(std::span<const uint8_t> bytes) {
    if (bytes.size() < kEventsOffset) return std::nullopt;
    const uint32_t header_crc = read_le<uint32_t>(bytes.data() + kFrameHeaderCrcOffset);
    if (crc32(bytes.first(kFrameHeaderCrcOffset)) != header_crc) return std::nullopt;
    FrameExtent extent{frame_header_fields(bytes.data())};
    const uint16_t flags = extent.header.flags;
    extent.events_length = read_le<uint16_t>(bytes.data() + kFrameHeaderSize);
    size_t at = kEventsOffset + fixed_payload_size(extent.header, extent.events_length);
    if (flags & kFlagMetadata) {
        extent.metadata_at = at;
        std::optional<size_t> end = metadata_end(bytes, at);
        if (!end) return std::nullopt;
        at = *end;
    }
    if (flags & kFlagAnnotations) {
        extent.annotations_at = at;
        if (bytes.size() < at + 1) return std::nullopt;
        at += 1 + size_t{bytes[at]} * kAnnotationRecordSize;
    }
    if (bytes.size() < at + kTrailerSize) return std::nullopt;
    // The trailer holds the CRC of all 36 header bytes: the first 32 and
    // their CRC, checked above, so it is the residue.
    if (read_le<uint16_t>(bytes.data() + at) != kTrailerMarker ||
        read_le<uint32_t>(bytes.data() + at + 2) != kCrc32Residue) {
        return std::nullopt;
    }
    extent.size = at + kTrailerSize;
    return extent;
}

FrameMetadata read_metadata_block(std::span<const uint8_t> block) {
    FrameMetadata metadata;
    size_t entries = read_le<uint16_t>(block.data());
    size_t at = 2;
    for (; entries > 0; --entries) {
        const uint16_t tag = read_le<uint16_t>(block.data() + at);
        const uint16_t length = read_le<uint16_t>(block.data() + at + 2);
        apply_metadata_entry(metadata, tag, block.subspan(at + 4, length));
        at += 4 + size_t{length};
    }
    return metadata;
}

}  // namespace veskar
