#pragma once

#include <expected>
#include <string>

namespace veskar::py {

// How a reader waits until a descriptor that is not a regular file (a FIFO,
// a terminal, /dev/stdin) has bytes or its writer has gone.
class ReadableWait {
   public:
    // False when the wait was abandoned; the waiter keeps the reason.
    virtual bool wait_readable(int fd) = 0;

   protected:
    ~ReadableWait() = default;
};

// The error read_utf8_file reports when `wait` abandoned a wait.
inline constexpr int kReadAbandoned = -1;

// Reads a whole file that must hold UTF-8 text (DEM files). Fails with the
// errno of the open or read, EILSEQ when the bytes are not valid UTF-8, or
// kReadAbandoned. Neither the open nor a read blocks: a FIFO without a
// writer yet, or a quiet pipe, is waited for through `wait`. Runs without
// touching Python objects.
std::expected<std::string, int> read_utf8_file(const char* path, ReadableWait& wait);

}  // namespace veskar::py
