#include "veskar/deserialize/ring_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace veskar {

RingBuffer::RingBuffer(size_t capacity)
    : storage_(std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(capacity, 1))),
      capacity_(std::max<size_t>(capacity, 1)) {}

size_t RingBuffer::write(std::span<const uint8_t> bytes) {
    size_t count = std::min(free_space(), bytes.size());
    if (count == 0) {
        return 0;
    }
    size_t start = static_cast<size_t>(write_pos_ % capacity_);
    size_t first = std::min(count, capacity_ - start);
    std::memcpy(storage_.get() + start, bytes.data(), first);
    if (count > first) {
        std::memcpy(storage_.get(), bytes.data() + first, count - first);
    }
    write_pos_ += count;
    return count;
}

std::span<uint8_t> RingBuffer::write_window(size_t max_bytes) {
    size_t start = static_cast<size_t>(write_pos_ % capacity_);
    size_t length = std::min({max_bytes, free_space(), capacity_ - start});
    return std::span<uint8_t>(storage_.get() + start, length);
}

std::optional<std::span<const uint8_t>> RingBuffer::peek(size_t n) const {
    if (unread() < n) {
        return std::nullopt;
    }
    size_t start = read_index_;
    if (start + n > capacity_) {
        return std::nullopt;
    }
    return std::span<const uint8_t>(storage_.get() + start, n);
}

std::optional<std::span<const uint8_t>> RingBuffer::peek_wrapped(size_t n, std::vector<uint8_t>& scratch) const {
    if (unread() < n) {
        return std::nullopt;
    }
    size_t start = read_index_;
    if (start + n <= capacity_) {
        return std::span<const uint8_t>(storage_.get() + start, n);
    }
    size_t first = capacity_ - start;
    scratch.clear();
    scratch.insert(scratch.end(), storage_.get() + start, storage_.get() + capacity_);
    scratch.insert(scratch.end(), storage_.get(), storage_.get() + (n - first));
    return std::span<const uint8_t>(scratch.data(), scratch.size());
}

void RingBuffer::copy_out(size_t offset, std::span<uint8_t> out) const {
    // An empty span may carry a null pointer, which memcpy must never see.
    if (out.empty()) {
        return;
    }
    // offset < unread() <= capacity_, so one subtraction wraps the start.
    size_t start = read_index_ + offset;
    if (start >= capacity_) start -= capacity_;
    size_t first = std::min(out.size(), capacity_ - start);
    std::memcpy(out.data(), storage_.get() + start, first);
    if (out.size() > first) {
        std::memcpy(out.data() + first, storage_.get(), out.size() - first);
    }
}

}  // namespace veskar
