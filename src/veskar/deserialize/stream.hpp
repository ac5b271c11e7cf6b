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

// What resync() came to.
struct Resync {
    enum class Status : uint8_t {
        Found,    // the next frame header to read is one the reader accepts
        End,      // the input ended first; the bytes left were passed over too
        Pending,  // the source has no data yet; call again once it is ready
    };
    Status status;
    uint64_t skipped;  // bytes passed over since this resync began, across Pending answers
};

// Largest single read from the source.
inline constexpr size_t kMaxReadSize = 64 * 1024;

// Turns a byte source into validated frames. next_frame is a resumable state
// machine: when the source answers Pending it returns Pending and keeps its
// progress (the step reached, the header copy, the counts), and the next call
// goes on exactly where it stopped. A frame already buffered is decoded
// without touching the source, and one buffered whole and sound is taken in
// one pass without the steps.
class TolmStream {
   public:
    explicit TolmStream(std::unique_ptr<ByteSource> source, StreamConfig config = {});

    std::expected<NextStatus, VeskarError> next_frame();

    // next_frame for a frame whose bytes are all buffered already: true with
    // the frame in frame(), or its error as next_frame gives it, or false
    // with nothing read when next_frame would have to go step by step (the
    // frame is not all buffered, or fails a check there) or ask the source.
    // A bulk reader calls it until false, then next_frame.
    std::expected<bool, VeskarError> next_buffered_frame();

    // Recovery from a damaged stream, which next_frame never attempts (a
    // frame header that fails its CRC fails every call): drops the frame in
    // progress, if any, and passes over bytes up to the next position that
    // holds a frame header whose CRC checks and whose frame id is larger
    // than last_frame_id(), which next_frame then reads. The file header is
    // read first if it has not been, and fails here as it would there.
    std::expected<Resync, VeskarError> resync();

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
    // Where the next call resumes.
    enum class Step : uint8_t {
        FileHeader,
        FrameHeader,
        EventsLength,
        FixedSections,
        MetadataCount,
        MetadataEntryHead,
        MetadataEntryValue,
        AnnotationCount,
        AnnotationRecords,
        Trailer,
    };

    // What a step tells the loop: GoOn once step_ names the step to run next,
    // otherwise what next_frame answers. need() answers End when the input
    // ended before the bytes a step asked for; each step decides what that
    // means for it.
    enum class Flow : uint8_t { GoOn, Frame, End, Pending };
    using StepResult = std::expected<Flow, VeskarError>;

    bool take_whole_frame();
    StepResult run_step();
    StepResult read_file_header();
    StepResult read_frame_header();
    StepResult read_events_length();
    StepResult read_fixed_sections();
    StepResult read_metadata_count();
    StepResult read_metadata_entry_head();
    StepResult read_metadata_entry_value();
    StepResult read_annotation_count();
    StepResult read_annotation_records();
    StepResult read_trailer();
    StepResult finish_frame();
    bool accepts_header_here();
    Resync finish_resync(Resync::Status status);

    StepResult need(size_t n);
    StepResult need_in_frame(size_t n);
    StepResult go_to(Step next) {
        step_ = next;
        return Flow::GoOn;
    }
    std::unexpected<VeskarError> fail_inside_frame(VeskarError err);
    Step step_after_metadata() const;
    void keep_sections_before_write(size_t write_size);
    std::span<const uint8_t> view_unread(size_t n, std::vector<uint8_t>& scratch);
    uint16_t take_u16();  // a buffered little-endian u16, consumed

    std::unique_ptr<ByteSource> source_;
    RingBuffer ring_;
    StreamConfig config_;
    std::vector<uint8_t> wrap_scratch_;   // a fixed section that straddles the ring's end
    std::vector<uint8_t> field_scratch_;  // a metadata value or annotation block that straddles
    std::vector<uint8_t> kept_sections_;  // sections copied aside before the ring reuses their bytes
    std::optional<uint64_t> last_frame_id_;
    SchemaId schema_id_{};
    bool header_read_ = false;
    const HardwareSchema* schema_ = nullptr;  // the registered schema of this stream, if any

    // Progress of the frame being read.
    Step step_ = Step::FileHeader;
    SyndromeFrame frame_;
    std::array<uint8_t, kFrameHeaderSize> header_bytes_{};
    uint16_t events_length_ = 0;
    uint16_t metadata_entries_left_ = 0;
    uint16_t entry_tag_ = 0;
    uint16_t entry_length_ = 0;
    uint8_t annotation_count_ = 0;
    std::optional<error::FrameIdBackwards> repeated_id_;  // reported once the frame is consumed
    uint64_t sections_begin_ = 0;                         // ring position of the frame's fixed sections
    bool sections_in_ring_ = false;
    uint64_t resync_skipped_ = 0;  // bytes passed over by a resync that answered Pending
};

}  // namespace veskar
