#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace veskar {

// Fixed-capacity byte ring. Positions count bytes since creation and only
// grow; position p lives at storage index p % capacity.
// Invariant: read_pos <= write_pos <= read_pos + capacity.
class RingBuffer {
   public:
    explicit RingBuffer(size_t capacity);

    // Stores as many bytes as fit; returns how many.
    size_t write(std::span<const uint8_t> bytes);

    // The next n unread bytes in place, or nothing when fewer are unread or
    // they straddle the storage's end.
    std::optional<std::span<const uint8_t>> peek(size_t n) const;

    // The next n unread bytes, or nothing when fewer are unread. Straddling
    // bytes are copied into `scratch` and the view points there.
    std::optional<std::span<const uint8_t>> peek_wrapped(size_t n, std::vector<uint8_t>& scratch) const;

    // The unread bytes that lie in one piece from read_pos on: all of them,
    // unless they wrap past the storage's end.
    std::span<const uint8_t> unread_run() const {
        return std::span<const uint8_t>(storage_.get() + read_index_, std::min(unread(), capacity_ - read_index_));
    }

    // Copies the n unread bytes starting `offset` bytes past read_pos into
    // `out` (the caller guarantees they are buffered).
    void copy_out(size_t offset, std::span<uint8_t> out) const;

    void consume(size_t n) {
        read_pos_ += n;
        read_index_ += n;
        if (read_index_ >= capacity_) read_index_ %= capacity_;
    }

    // The contiguous free storage after write_pos, at most max_bytes long, for
    // a source to read into directly; commit_write(k) then publishes k bytes.
    std::span<uint8_t> write_window(size_t max_bytes);
    void commit_write(size_t n) { write_pos_ += n; }

    size_t capacity() const { return capacity_; }
    uint64_t read_pos() const { return read_pos_; }
    uint64_t write_pos() const { return write_pos_; }
    size_t unread() const { return static_cast<size_t>(write_pos_ - read_pos_); }
    size_t free_space() const { return capacity_ - unread(); }

   private:
    std::unique_ptr<uint8_t[]> storage_;
    size_t capacity_;
    uint64_t read_pos_ = 0;
    uint64_t write_pos_ = 0;
    size_t read_index_ = 0;  // read_pos_ % capacity_, kept so that reading needs no division
};

}  // namespace veskar
