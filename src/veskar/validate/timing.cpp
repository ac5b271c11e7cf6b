#include "veskar/validate/timing.hpp"

namespace veskar {

std::expected<void, VeskarError> check_timing(const SyndromeFrame& frame) {
    const TimingOffsets& offsets = frame.timing_offsets;
    for (size_t i = 0; i < offsets.size(); ++i) {
        uint16_t offset = offsets[i];
        if (offset > kMaxTimingOffsetNs) {
            return std::unexpected(error::TimingOutOfBounds{i, offset});
        }
    }
    return {};
}

}  // namespace veskar
