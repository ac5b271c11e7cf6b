#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "veskar/deserialize/byte_source.hpp"

namespace veskar {

// A byte source over bytes held in memory, handing out at most `chunk_limit`
// bytes per read (to exercise every split of the input).
class MemorySource final : public ByteSource {
   public:
    explicit MemorySource(std::vector<uint8_t> bytes, size_t chunk_limit = SIZE_MAX)
        : bytes_(std::move(bytes)), chunk_limit_(std::max<size_t>(chunk_limit, 1)) {}

    std::expected<ReadResult, VeskarError> read_some(std::span<uint8_t> buffer) override {
        size_t count = std::min({buffer.size(), bytes_.size() - position_, chunk_limit_});
        if (count == 0) {
            return ReadResult{ReadStatus::End, 0};
        }
        std::memcpy(buffer.data(), bytes_.data() + position_, count);
        position_ += count;
        return ReadResult{ReadStatus::Data, count};
    }

    // Starts over from the first byte, so one source can be read many times.
    void rewind() { position_ = 0; }

   private:
    std::vector<uint8_t> bytes_;
    size_t chunk_limit_;
    size_t position_ = 0;
};

}  // namespace veskar
