#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

#include "veskar/core/error.hpp"
#include "veskar/core/frame.hpp"
#include "veskar/core/schema.hpp"
#include "veskar/deserialize/byte_source.hpp"
#include "veskar/deserialize/parser.hpp"
#include "veskar/deserialize/ring_buffer.hpp"

namespace veskar {

struct StreamConfig {
    SchemaRegistry schemas;
    size_t ring_capacity = 4 * 1024 * 1024;
    bool skip_validation = false;
};

enum class NextStatus : uint8_t {
    Frame,    // frame() holds the frame until the next call
    End,      // no more frames; later calls answer End again while the input stays ended
    Pending,  // the source has no data yet; call again once it is ready
};

// Turns a byte source into validated frames. next_frame is a resumable state
// machine: when the source answers Pending it returns Pending and keeps its
// progress (the step reached, the header copy, the counts), and the next call
// goes on exactly where it stopped. A frame already buffered is decoded
// without touching the source.
class TolmStream {
   public:
    TolmStream(std::unique_ptr<ByteSource> source, StreamConfig config = {});

    std::expected<NextStatus, VeskarError> next_frame();

    // The last frame next_frame produced; its byte sections stay valid until
    // the next call of next_frame.
    const SyndromeFrame& frame() const { return frame_; }

    enum class Fill : uint8_t { Ready, Ended, Pending };

    // Ready once at least n unread bytes are buffered, Ended when the input
    // ended first, Pending when the source has nothing yet.
    std::expected<Fill, VeskarError> fill_until(size_t n);

    ByteSource& source() { return *source_; }
    const RingBuffer& ring() const { return ring_; }
    const StreamConfig& config() const { return config_; }
    std::optional<uint64_t> last_frame_id() const { return last_frame_id_; }
    const SchemaId& schema_id() const { return schema_id_; }
    bool header_read() const { return header_read_; }

   private:
    enum class Step : uint8_t;
    struct Progress;

    std::expected<NextStatus, VeskarError> run();

    std::unique_ptr<ByteSource> source_;
    RingBuffer ring_;
    StreamConfig config_;
    std::vector<uint8_t> wrap_scratch_;
    std::optional<uint64_t> last_frame_id_;
    SchemaId schema_id_{};
    bool header_read_ = false;
    SyndromeFrame frame_;
    std::unique_ptr<Progress> progress_;
    std::array<uint8_t, 4096> read_buffer_{};
};

}  // namespace veskar
