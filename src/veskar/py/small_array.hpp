#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <type_traits>

namespace veskar::py {

// Up to N one-byte values kept inside their owner, more on the heap. A frame
// handed to Python holds its measurements and detector events in two of
// these, so that reading frames of the common code sizes allocates nothing
// but the Python object itself.
template <class T, size_t N>
class SmallArray {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) == 1);

   public:
    SmallArray() = default;
    SmallArray(const SmallArray& other) { assign(other.begin(), other.end()); }
    SmallArray(SmallArray&& other) noexcept { take(other); }
    SmallArray& operator=(const SmallArray& other) {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }
    SmallArray& operator=(SmallArray&& other) noexcept {
        if (this != &other) take(other);
        return *this;
    }
    ~SmallArray() = default;

    // New entries are 0.
    void resize(size_t size) {
        grow(size);
        if (size > size_) std::memset(data() + size_, 0, size - size_);
        size_ = size;
    }
    template <class It>
    void assign(It first, It last) {
        const auto size = static_cast<size_t>(std::distance(first, last));
        grow(size);
        std::copy(first, last, data());
        size_ = size;
    }

    T* data() { return heap_ ? heap_.get() : inline_; }
    const T* data() const { return heap_ ? heap_.get() : inline_; }
    size_t size() const { return size_; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    T& operator[](size_t i) { return data()[i]; }
    const T& operator[](size_t i) const { return data()[i]; }
    operator std::span<const T>() const { return {data(), size_}; }

   private:
    // Room for `size` entries, the first size_ kept.
    void grow(size_t size) {
        if (size <= capacity_) return;
        auto bigger = std::make_unique_for_overwrite<T[]>(size);
        std::memcpy(bigger.get(), data(), size_);
        heap_ = std::move(bigger);
        capacity_ = size;
    }
    void take(SmallArray& other) {
        heap_ = std::move(other.heap_);
        capacity_ = heap_ ? other.capacity_ : N;
        size_ = other.size_;
        if (!heap_) std::memcpy(inline_, other.inline_, size_);
        other.capacity_ = N;
        other.size_ = 0;
    }

    std::unique_ptr<T[]> heap_;
    size_t capacity_ = N;
    size_t size_ = 0;
    T inline_[N];
};

}  // namespace veskar::py
