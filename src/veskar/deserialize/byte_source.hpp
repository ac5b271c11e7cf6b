#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "veskar/core/error.hpp"

namespace veskar {

enum class ReadStatus : uint8_t {
    Data,     // `size` bytes (at least one) were read
    End,      // the input has ended; every later read answers End too
    Pending,  // nothing to read yet: wait until the source is ready, then call again
};

struct ReadResult {
    ReadStatus status = ReadStatus::End;
    size_t size = 0;
};

// Where the reader's bytes come from: a file, a socket, a buffer in memory.
// `read_some` never blocks; a source that would have to wait answers Pending
// and its owner waits for readiness (on an I/O runtime, say) before calling
// the reader again. This is the one virtual call of the read path, made once
// per chunk of up to 64 KiB.
class ByteSource {
   public:
    virtual ~ByteSource() = default;
    virtual std::expected<ReadResult, VeskarError> read_some(std::span<uint8_t> buffer) = 0;
};

}  // namespace veskar
