#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "veskar/deserialize/byte_source.hpp"

namespace veskar::testing_support {

// A byte source over bytes in memory, handing out at most `chunk_limit`
// bytes per read (to exercise every split of the input). Given a vector it
// keeps the bytes; given a span it only views them, and they must outlive it
// (a benchmark reads one recording many times without copying it).
class MemorySource final : public ByteSource {
   public:
    explicit MemorySource(std::vector<uint8_t>&& bytes, size_t chunk_limit = SIZE_MAX)
        : owned_(std::move(bytes)), bytes_(owned_), chunk_limit_(std::max<size_t>(chunk_limit, 1)) {}
    explicit MemorySource(std::span<const uint8_t> bytes, size_t chunk_limit = SIZE_MAX)
        : bytes_(bytes), chunk_limit_(std::max<size_t>(chunk_limit, 1)) {}
    MemorySource(const MemorySource&) = delete;
    MemorySource& operator=(const MemorySource&) = delete;

    std::expected<ReadResult, VeskarError> read_some(std::span<uint8_t> buffer) override {
        size_t count = std::min({buffer.size(), bytes_.size() - position_, chunk_limit_});
        if (count == 0) {
            return ReadResult{ReadStatus::End, 0};
        }
        std::memcpy(buffer.data(), bytes_.data() + position_, count);
        position_ += count;
        return ReadResult{ReadStatus::Data, count};
    }

   private:
    std::vector<uint8_t> owned_;
    std::span<const uint8_t> bytes_;
    size_t chunk_limit_;
    size_t position_ = 0;
};

}  // namespace veskar::testing_support
