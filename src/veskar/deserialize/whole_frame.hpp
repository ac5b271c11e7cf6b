#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "veskar/core/frame.hpp"
#include "veskar/deserialize/parser.hpp"

namespace veskar {

// Where the parts of a frame lie, as offsets from its first header byte.
struct FrameExtent {
    FrameHeader header;
    uint16_t events_length = 0;
    size_t metadata_at = 0;     // the block's u16 count; meaningful only with kFlagMetadata
    size_t annotations_at = 0;  // the count byte; meaningful only with kFlagAnnotations
    size_t size = 0;            // through the trailer's last byte
};

// Offset of the detector events, after the header and their u16 length.
inline constexpr size_t kEventsOffset = kFrameHeaderSize + 2;

// The extent of a frame that `bytes` begins with when every byte of it,
// trailer included, is there and both its CRCs check. Nullopt otherwise:
// such a frame is read part by part, which is where its faults are found
// and reported.
std::optional<FrameExtent> whole_frame_extent(std::span<const uint8_t> bytes);

// The entries of a metadata block whose every byte is in `block` (its u16
// count first), applied in order.
FrameMetadata read_metadata_block(std::span<const uint8_t> block);

}  // namespace veskar
