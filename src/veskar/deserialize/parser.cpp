#include "veskar/deserialize/parser.hpp"

#include <algorithm>

#include "veskar/core/utf8.hpp"
#include "veskar/deserialize/crc32.hpp"

namespace veskar {

std::expected<Parsed<FileHeader>, VeskarError> parse_file_header(std::span<const uint8_t> bytes) {
    if (bytes.size() < kFileHeaderSize) {
        return std::unexpected(error::PayloadLengthMismatch{kFileHeaderSize, bytes.size()});
    }
    FileHeader header;
    header.magic = read_le<uint32_t>(bytes.data());
    if (header.magic != kTolmMagic) {
        return std::unexpected(error::InvalidMagic{header.magic});
    }
    header.version = read_le<uint16_t>(bytes.data() + 4);
    if (header.version != kTolmVersion) {
        return std::unexpected(error::UnsupportedVersion{header.version});
    }
    std::memcpy(header.schema_id.data(), bytes.data() + 6, header.schema_id.size());
    header.header_aux = read_le<uint32_t>(bytes.data() + 22);
    return Parsed<FileHeader>{header, kFileHeaderSize};
}

std::expected<Parsed<FrameHeader>, VeskarError> parse_frame_header(std::span<const uint8_t> bytes) {
    if (bytes.size() < kFrameHeaderSize) {
        return std::unexpected(error::PayloadLengthMismatch{kFrameHeaderSize, bytes.size()});
    }
    const uint32_t stored = read_le<uint32_t>(bytes.data() + kFrameHeaderCrcOffset);
    const uint32_t computed = crc32(bytes.first(kFrameHeaderCrcOffset));
    if (computed != stored) {
        return std::unexpected(error::CrcMismatch{computed, stored});
    }
    return Parsed<FrameHeader>{frame_header_fields(bytes.data()), kFrameHeaderSize};
}

std::vector<Annotation> parse_annotations(std::span<const uint8_t> bytes) {
    std::vector<Annotation> annotations;
    if (bytes.empty()) {
        return annotations;
    }
    size_t declared = bytes[0];
    size_t whole = (bytes.size() - 1) / kAnnotationRecordSize;
    size_t count = std::min(declared, whole);
    annotations.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* record = bytes.data() + 1 + i * kAnnotationRecordSize;
        annotations.push_back(Annotation{read_le<uint64_t>(record + 1), record[0], record[9]});
    }
    return annotations;
}

void decode_rle_events(std::span<const uint8_t> runs, size_t n, std::vector<uint8_t>& out) {
    out.resize(n);
    decode_rle_events(runs, std::span<uint8_t>(out));
}

void decode_rle_events(std::span<const uint8_t> runs, std::span<uint8_t> out) {
    const size_t n = out.size();
    std::memset(out.data(), 0, n);
    size_t position = 0;
    for (uint8_t run : runs) {
        if (position >= n) {
            break;
        }
        size_t length = std::min<size_t>(run & 0x7F, n - position);
        if (run & 0x80) {
            std::memset(out.data() + position, 1, length);
        }
        position += length;
    }
}

std::vector<uint8_t> decode_rle_events(std::span<const uint8_t> runs, size_t n) {
    std::vector<uint8_t> out;
    decode_rle_events(runs, n, out);
    return out;
}

void apply_metadata_entry(FrameMetadata& metadata, uint16_t tag, std::span<const uint8_t> value) {
    switch (tag) {
        case 1:
            if (is_valid_utf8(value)) {
                metadata.label.emplace(reinterpret_cast<const char*>(value.data()), value.size());
            } else {
                metadata.label.reset();
            }
            break;
        case 2:
            if (value.size() == 4) metadata.aux_a = read_le<uint32_t>(value.data());
            break;
        case 3:
            if (value.size() == 4) metadata.aux_b = read_le<uint32_t>(value.data());
            break;
        case 4:
            if (value.size() == 1) metadata.aux_byte = value[0];
            break;
        case 16:
            if (value.size() == 8) metadata.observable_flips = read_le<uint64_t>(value.data());
            break;
        default:
            break;
    }
}

size_t fixed_payload_size(const FrameHeader& header, uint16_t events_length) {
    size_t n = header.ancilla_count;
    size_t total = size_t{events_length} + n;
    if (header.flags & kFlagTimingOffsets) total += 2 * n;
    if (header.flags & kFlagAncillaBitmap) total += (n + 7) / 8;
    return total;
}

}  // namespace veskar
