#pragma once

// Helpers shared by the fuzz targets: taking typed values off the front of
// the input, and a failed invariant that stops the run where a sanitizer or
// the fuzzer sees it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

namespace veskar::fuzz {

// An invariant the code under test broke. Aborting (rather than throwing)
// makes the fuzzer keep the input as a crash and the replay test fail.
[[noreturn]] inline void broken(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

#define VESKAR_FUZZ_CHECK(condition, ...)                                                \
    do {                                                                                 \
        if (!(condition)) ::veskar::fuzz::broken(#condition __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// Takes values off the front of the input; once it runs dry every value is
// zero, so the decisions drawn from it stay deterministic.
class ByteReader {
   public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    template <class T>
    T take() {
        T value{};
        size_t n = std::min(sizeof(T), bytes_.size());
        std::memcpy(&value, bytes_.data(), n);
        bytes_ = bytes_.subspan(n);
        return value;
    }

    bool take_bool() { return (take<uint8_t>() & 1) != 0; }

    // At most `limit` bytes, the count taken from the input first.
    std::string take_text(size_t limit) {
        const size_t wanted = take<uint16_t>() % (limit + 1);
        const size_t n = std::min(wanted, bytes_.size());
        std::string text(reinterpret_cast<const char*>(bytes_.data()), n);
        bytes_ = bytes_.subspan(n);
        return text;
    }

    std::span<const uint8_t> rest() const { return bytes_; }
    bool empty() const { return bytes_.empty(); }

   private:
    std::span<const uint8_t> bytes_;
};

}  // namespace veskar::fuzz
