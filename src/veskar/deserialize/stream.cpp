#include "veskar/deserialize/stream.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "veskar/deserialize/crc32.hpp"
#include "veskar/deserialize/trace.hpp"
#include "veskar/deserialize/whole_frame.hpp"
#include "veskar/validate/parity.hpp"
#include "veskar/validate/schema_consistency.hpp"
#include "veskar/validate/timing.hpp"

namespace veskar {

namespace {

uint32_t clamp_u32(size_t value) {
    return static_cast<uint32_t>(std::min<size_t>(value, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

TolmStream::TolmStream(std::unique_ptr<ByteSource> source, StreamConfig config)
    : source_(std::move(source)), ring_(config.ring_capacity), config_(std::move(config)) {
    wrap_scratch_.reserve(kMaxReadSize);
}

// A read error leaves the step where it was, so the next call retries the
// same read without losing what was already buffered.
std::expected<TolmStream::Fill, VeskarError> TolmStream::fill_until(size_t n) {
    while (ring_.unread() < n) {
        // Reading only into free space means no byte that arrives is ever dropped;
        // a request the ring cannot hold at all is refused instead.
        std::span<uint8_t> window = ring_.write_window(kMaxReadSize);
        if (window.empty()) {
            return std::unexpected(error::PayloadLengthMismatch{clamp_u32(n), ring_.unread()});
        }
        keep_sections_before_write(window.size());
        auto result = source_->read_some(window);
        if (!result) {
            return std::unexpected(std::move(result.error()));
        }
        switch (result->status) {
            case ReadStatus::Pending:
                return Fill::Pending;
            case ReadStatus::End:
                return Fill::Ended;
            case ReadStatus::Data:
                ring_.commit_write(std::min(result->size, window.size()));
                break;
        }
    }
    return Fill::Ready;
}

// The fixed sections of the frame in progress are views into ring storage that
// has already been consumed. A long metadata or annotation block can make the
// ring wrap onto those bytes; before the first write that would, the sections
// are copied aside so the views never show overwritten bytes.
void TolmStream::keep_sections_before_write(size_t write_size) {
    if (!sections_in_ring_ || ring_.write_pos() + write_size <= sections_begin_ + ring_.capacity()) {
        return;
    }
    size_t timing_bytes = frame_.timing_offsets.bytes.size();
    size_t total =
        frame_.detector_events.size() + frame_.meas_results.size() + timing_bytes + frame_.ancilla_bitmap.size();
    kept_sections_.resize(total);
    uint8_t* out = kept_sections_.data();
    auto keep = [&out](const void* data, size_t size) {
        if (size > 0) std::memcpy(out, data, size);
        const uint8_t* kept = out;
        out += size;
        return kept;
    };
    const uint8_t* events = keep(frame_.detector_events.data(), frame_.detector_events.size());
    const uint8_t* results = keep(frame_.meas_results.data(), frame_.meas_results.size());
    const uint8_t* timing = keep(frame_.timing_offsets.bytes.data(), timing_bytes);
    const uint8_t* bitmap = keep(frame_.ancilla_bitmap.data(), frame_.ancilla_bitmap.size());
    frame_.detector_events = {events, frame_.detector_events.size()};
    frame_.meas_results = {reinterpret_cast<const int8_t*>(results), frame_.meas_results.size()};
    frame_.timing_offsets.bytes = {timing, timing_bytes};
    frame_.ancilla_bitmap = {bitmap, frame_.ancilla_bitmap.size()};
    sections_in_ring_ = false;
}

uint16_t TolmStream::take_u16() {
    std::array<uint8_t, 2> bytes;
    ring_.copy_out(0, bytes);
    ring_.consume(2);
    return read_le<uint16_t>(bytes.data());
}

std::span<const uint8_t> TolmStream::view_unread(size_t n, std::vector<uint8_t>& scratch) {
    // Callers have filled at least n bytes, so the view always exists.
    return *ring_.peek_wrapped(n, scratch);
}

// The steps and their helpers are defined inline ahead of their one caller,
// next_frame, so that the loop compiles into one function with the fast path
// of need() in place; called out of line they cost a sixth more instructions
// per frame.

// The first move of every step. A read error or a source with nothing yet
// leaves the step where it was, so the next call asks again.
inline TolmStream::StepResult TolmStream::need(size_t n) {
    if (ring_.unread() >= n) return Flow::GoOn;
    auto fill = fill_until(n);
    if (!fill) return std::unexpected(std::move(fill.error()));
    switch (*fill) {
        case Fill::Ready:
            return Flow::GoOn;
        case Fill::Ended:
            return Flow::End;
        case Fill::Pending:
            return Flow::Pending;
    }
    std::unreachable();
}

// Past the frame header the input may only end where a part is optional;
// anywhere else the frame is cut short.
inline TolmStream::StepResult TolmStream::need_in_frame(size_t n) {
    StepResult have = need(n);
    if (have == Flow::End) {
        return fail_inside_frame(error::PayloadLengthMismatch{clamp_u32(n), ring_.unread()});
    }
    return have;
}

std::unexpected<VeskarError> TolmStream::fail_inside_frame(VeskarError err) {
    // The stream stays where the failing step left it; the next call reads a
    // frame header from there.
    step_ = Step::FrameHeader;
    sections_in_ring_ = false;
    return std::unexpected(std::move(err));
}

TolmStream::Step TolmStream::step_after_metadata() const {
    return (frame_.header.flags & kFlagAnnotations) ? Step::AnnotationCount : Step::Trailer;
}

inline TolmStream::StepResult TolmStream::read_file_header() {
    if (StepResult have = need(kFileHeaderSize); have != Flow::GoOn) return have;
    std::array<uint8_t, kFileHeaderSize> bytes;
    ring_.copy_out(0, bytes);
    auto parsed = parse_file_header(bytes);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    schema_id_ = parsed->value.schema_id;
    ring_.consume(kFileHeaderSize);
    header_read_ = true;
    // Neither the id nor the registry changes for the stream's life, so one
    // lookup serves every frame.
    auto schema = config_.schemas.get(schema_id_);
    schema_ = schema ? *schema : nullptr;
    return go_to(Step::FrameHeader);
}

inline TolmStream::StepResult TolmStream::read_frame_header() {
    sections_in_ring_ = false;  // the previous frame's views expire with this call
    // A partial header at the end of the input is dropped silently.
    if (StepResult have = need(kFrameHeaderSize); have != Flow::GoOn) return have;
    ring_.copy_out(0, header_bytes_);
    auto parsed = parse_frame_header(header_bytes_);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    ring_.consume(kFrameHeaderSize);
    frame_ = SyndromeFrame{};
    frame_.header = parsed->value;
    uint64_t id = frame_.header.frame_id;
    if (last_frame_id_ && id <= *last_frame_id_) {
        // Read the rest of this frame before reporting, so that the next
        // call starts at the next frame rather than mid-payload.
        repeated_id_ = error::FrameIdBackwards{*last_frame_id_, id};
    } else {
        repeated_id_.reset();
        last_frame_id_ = id;
    }
    return go_to(Step::EventsLength);
}

inline TolmStream::StepResult TolmStream::read_events_length() {
    if (StepResult have = need_in_frame(2); have != Flow::GoOn) return have;
    events_length_ = take_u16();
    return go_to(Step::FixedSections);
}

inline TolmStream::StepResult TolmStream::read_fixed_sections() {
    const FrameHeader& header = frame_.header;
    const size_t n = header.ancilla_count;
    if (StepResult have = need_in_frame(fixed_payload_size(header, events_length_)); have != Flow::GoOn) {
        return have;
    }
    sections_begin_ = ring_.read_pos();
    sections_in_ring_ = true;
    // The sections span less than one ring, so at most one of them straddles
    // the ring's end and needs wrap_scratch_.
    frame_.detector_events = view_unread(events_length_, wrap_scratch_);
    ring_.consume(events_length_);
    auto results = view_unread(n, wrap_scratch_);
    frame_.meas_results = {reinterpret_cast<const int8_t*>(results.data()), results.size()};
    ring_.consume(n);
    if (header.flags & kFlagTimingOffsets) {
        frame_.timing_offsets.bytes = view_unread(2 * n, wrap_scratch_);
        ring_.consume(2 * n);
    }
    if (header.flags & kFlagAncillaBitmap) {
        size_t bitmap_size = (n + 7) / 8;
        frame_.ancilla_bitmap = view_unread(bitmap_size, wrap_scratch_);
        ring_.consume(bitmap_size);
    }
    return go_to((header.flags & kFlagMetadata) ? Step::MetadataCount : step_after_metadata());
}

inline TolmStream::StepResult TolmStream::read_metadata_count() {
    if (StepResult have = need_in_frame(2); have != Flow::GoOn) return have;
    metadata_entries_left_ = take_u16();
    frame_.metadata.emplace();
    return go_to(Step::MetadataEntryHead);
}

// The input ending inside the entries ends the block, not the frame.
inline TolmStream::StepResult TolmStream::read_metadata_entry_head() {
    if (metadata_entries_left_ == 0) return go_to(step_after_metadata());
    StepResult have = need(4);
    if (have == Flow::End) return go_to(step_after_metadata());
    if (have != Flow::GoOn) return have;
    std::array<uint8_t, 4> bytes;
    ring_.copy_out(0, bytes);
    entry_tag_ = read_le<uint16_t>(bytes.data());
    entry_length_ = read_le<uint16_t>(bytes.data() + 2);
    ring_.consume(4);
    return go_to(Step::MetadataEntryValue);
}

inline TolmStream::StepResult TolmStream::read_metadata_entry_value() {
    StepResult have = need(entry_length_);
    if (have == Flow::End) return go_to(step_after_metadata());
    if (have != Flow::GoOn) return have;
    apply_metadata_entry(*frame_.metadata, entry_tag_, view_unread(entry_length_, field_scratch_));
    ring_.consume(entry_length_);
    --metadata_entries_left_;
    return go_to(Step::MetadataEntryHead);
}

inline TolmStream::StepResult TolmStream::read_annotation_count() {
    if (StepResult have = need_in_frame(1); have != Flow::GoOn) return have;
    std::array<uint8_t, 1> count;
    ring_.copy_out(0, count);
    annotation_count_ = count[0];
    ring_.consume(1);
    if (annotation_count_ == 0) {
        frame_.annotations.emplace();
        return go_to(Step::Trailer);
    }
    return go_to(Step::AnnotationRecords);
}

inline TolmStream::StepResult TolmStream::read_annotation_records() {
    size_t size = size_t{annotation_count_} * kAnnotationRecordSize;
    if (StepResult have = need_in_frame(size); have != Flow::GoOn) return have;
    field_scratch_.resize(1 + size);
    field_scratch_[0] = annotation_count_;
    ring_.copy_out(0, std::span<uint8_t>(field_scratch_).subspan(1));
    ring_.consume(size);
    frame_.annotations = parse_annotations(field_scratch_);
    return go_to(Step::Trailer);
}

inline TolmStream::StepResult TolmStream::read_trailer() {
    StepResult have = need(kTrailerSize);
    // An input that ends before the trailer: the last frame may omit it.
    if (have == Flow::End) return finish_frame();
    if (have != Flow::GoOn) return have;
    std::array<uint8_t, kTrailerSize> trailer;
    ring_.copy_out(0, trailer);
    // header_crc is the CRC of bytes 0..31 (checked above), so the CRC of all
    // 36 header bytes only needs the last four folded in.
    uint32_t computed = crc32_extend(frame_.header.header_crc, std::span(header_bytes_).subspan(kFrameHeaderCrcOffset));
    uint16_t marker = read_le<uint16_t>(trailer.data());
    uint32_t stored = read_le<uint32_t>(trailer.data() + 2);
    if (marker != kTrailerMarker || stored != computed) {
        return fail_inside_frame(error::CrcMismatch{computed, stored});
    }
    ring_.consume(kTrailerSize);
    return finish_frame();
}

inline TolmStream::StepResult TolmStream::finish_frame() {
    step_ = Step::FrameHeader;
    if (repeated_id_) {
        error::FrameIdBackwards repeated = *repeated_id_;
        repeated_id_.reset();
        sections_in_ring_ = false;
        return std::unexpected(repeated);
    }
    if (!config_.skip_validation) {
        TraceSpan span("tolm.frame_validate", "frame_id", frame_.header.frame_id);
        // Most frames carry no offsets: nothing to check, and no call.
        if (!frame_.timing_offsets.empty()) {
            if (auto timing = check_timing(frame_); !timing) {
                return std::unexpected(std::move(timing.error()));
            }
        }
        if (schema_ != nullptr) {
            if (auto consistent = check_schema_consistency(frame_, *schema_); !consistent) {
                return std::unexpected(std::move(consistent.error()));
            }
            if (auto parity = check_parity(frame_, *schema_); !parity) {
                return std::unexpected(std::move(parity.error()));
            }
        }
    }
    return Flow::Frame;
}

inline TolmStream::StepResult TolmStream::run_step() {
    switch (step_) {
        case Step::FileHeader:
            return read_file_header();
        case Step::FrameHeader:
            return read_frame_header();
        case Step::EventsLength:
            return read_events_length();
        case Step::FixedSections:
            return read_fixed_sections();
        case Step::MetadataCount:
            return read_metadata_count();
        case Step::MetadataEntryHead:
            return read_metadata_entry_head();
        case Step::MetadataEntryValue:
            return read_metadata_entry_value();
        case Step::AnnotationCount:
            return read_annotation_count();
        case Step::AnnotationRecords:
            return read_annotation_records();
        case Step::Trailer:
            return read_trailer();
    }
    std::unreachable();
}

// Whether the unread bytes begin with a frame header next_frame would take:
// its CRC checks and its id is past the last one read.
bool TolmStream::accepts_header_here() {
    ring_.copy_out(0, header_bytes_);
    auto parsed = parse_frame_header(header_bytes_);
    return parsed && (!last_frame_id_ || parsed->value.frame_id > *last_frame_id_);
}

Resync TolmStream::finish_resync(Resync::Status status) {
    return Resync{status, std::exchange(resync_skipped_, 0)};
}

// One byte at a time: a header may begin anywhere in damaged bytes, and the
// CRC over its first 32 bytes is what tells a header from chance (a false
// match has odds of 2^-32 per position). The position found stays unread.
std::expected<Resync, VeskarError> TolmStream::resync() {
    if (step_ == Step::FileHeader) {
        StepResult header = read_file_header();
        if (!header) return std::unexpected(std::move(header.error()));
        if (*header == Flow::End) return finish_resync(Resync::Status::End);
        if (*header == Flow::Pending) return Resync{Resync::Status::Pending, resync_skipped_};
    }
    step_ = Step::FrameHeader;
    sections_in_ring_ = false;
    repeated_id_.reset();
    for (;;) {
        StepResult have = need(kFrameHeaderSize);
        if (!have) return std::unexpected(std::move(have.error()));
        if (*have == Flow::Pending) return Resync{Resync::Status::Pending, resync_skipped_};
        if (*have == Flow::End) {
            resync_skipped_ += ring_.unread();
            ring_.consume(ring_.unread());
            return finish_resync(Resync::Status::End);
        }
        if (accepts_header_here()) return finish_resync(Resync::Status::Found);
        ring_.consume(1);
        ++resync_skipped_;
    }
}

// The fast path: a frame whose every byte is buffered in one piece and
// passes the checks made while reading it is taken in one pass, straight
// from the ring. Any other frame, every faulty one among them, is left
// untouched for the steps, which read it and report what they find as they
// always have; so this path only ever produces what the steps would.
bool TolmStream::take_whole_frame() {
    const std::span<const uint8_t> bytes = ring_.unread_run();
    const std::optional<FrameExtent> extent = whole_frame_extent(bytes);
    if (!extent) return false;
    const FrameHeader& header = extent->header;
    // A repeated id is reported after its frame, which the steps arrange.
    if (last_frame_id_ && header.frame_id <= *last_frame_id_) return false;
    last_frame_id_ = header.frame_id;
    repeated_id_.reset();
    frame_.header = header;
    const size_t n = header.ancilla_count;
    const uint8_t* at = bytes.data() + kEventsOffset;
    frame_.detector_events = {at, extent->events_length};
    at += extent->events_length;
    frame_.meas_results = {reinterpret_cast<const int8_t*>(at), n};
    at += n;
    frame_.timing_offsets.bytes = {};
    if (header.flags & kFlagTimingOffsets) {
        frame_.timing_offsets.bytes = {at, 2 * n};
        at += 2 * n;
    }
    frame_.ancilla_bitmap = {};
    if (header.flags & kFlagAncillaBitmap) frame_.ancilla_bitmap = {at, (n + 7) / 8};
    frame_.metadata.reset();
    if (header.flags & kFlagMetadata) {
        const size_t end = (header.flags & kFlagAnnotations) ? extent->annotations_at : extent->size - kTrailerSize;
        frame_.metadata = read_metadata_block(bytes.subspan(extent->metadata_at, end - extent->metadata_at));
    }
    frame_.annotations.reset();
    if (header.flags & kFlagAnnotations) {
        const size_t records = size_t{bytes[extent->annotations_at]} * kAnnotationRecordSize;
        frame_.annotations = parse_annotations(bytes.subspan(extent->annotations_at, 1 + records));
    }
    sections_begin_ = ring_.read_pos() + kEventsOffset;
    sections_in_ring_ = true;
    ring_.consume(extent->size);
    return true;
}

std::expected<bool, VeskarError> TolmStream::next_buffered_frame() {
    TraceSpan span("tolm.frame_parse");
    if (step_ != Step::FrameHeader || !take_whole_frame()) return false;
    StepResult flow = finish_frame();
    if (!flow) return std::unexpected(std::move(flow.error()));
    return true;
}

std::expected<NextStatus, VeskarError> TolmStream::next_frame() {
    TraceSpan span("tolm.frame_parse");
    if (step_ == Step::FrameHeader && take_whole_frame()) {
        StepResult flow = finish_frame();
        if (!flow) return std::unexpected(std::move(flow.error()));
        return NextStatus::Frame;
    }
    for (;;) {
        StepResult flow = run_step();
        if (!flow) return std::unexpected(std::move(flow.error()));
        switch (*flow) {
            case Flow::GoOn:
                continue;
            case Flow::Frame:
                return NextStatus::Frame;
            case Flow::End:
                return NextStatus::End;
            case Flow::Pending:
                return NextStatus::Pending;
        }
    }
}

}  // namespace veskar
