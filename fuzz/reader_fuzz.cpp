// Fuzzes the TOLM reader over arbitrary bytes.
//
// The first input byte picks the configuration: the ring capacity (from one
// smaller than a frame header's payload to the 4 MiB default), validation on
// or off, whether the stream's schema is registered, how many bytes the
// source hands out per read and whether it answers Pending in between. Bit 0
// of the second byte has the harness rewrite every frame's CRCs first, so
// that mutated headers get past the checksums to the code behind them. The
// rest is the byte stream.
//
// Surviving is not enough: every call of next_frame is compared with a plain
// reference reader that walks the same bytes in one flat buffer. A frame
// whose sections came from the wrong bytes (a ring wrap gone wrong, a view
// of storage a later read overwrote), a wrong error or a wrong resume
// position fails the run, as does a returned frame whose sections are not
// the sizes its header declares.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "veskar/core/error.hpp"
#include "veskar/core/frame.hpp"
#include "veskar/core/schema.hpp"
#include "veskar/deserialize/byte_source.hpp"
#include "veskar/deserialize/crc32.hpp"
#include "veskar/deserialize/parser.hpp"
#include "veskar/deserialize/stream.hpp"
#include "veskar/validate/parity.hpp"
#include "veskar/validate/schema_consistency.hpp"
#include "veskar/validate/timing.hpp"

namespace veskar::fuzz {
namespace {

// From below one frame header plus its smallest payload (so that almost every
// frame overflows the ring) to the default, with sizes that put every field
// across the ring's end somewhere.
constexpr std::array<size_t, 8> kRingCapacities = {40, 64, 301, 1000, 4096 + 37, 65536 + 7, 300000, 4 * 1024 * 1024};
constexpr std::array<size_t, 4> kChunkLimits = {1, 7, 4096, SIZE_MAX};

// The schema id the seed streams carry: bytes 0 to 15.
constexpr SchemaId kSchemaId = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// A distance-3 layout whose stabilizers also name results a frame does not
// have and outnumber its ancillas, so parity reads past the frame's end
// would show.
HardwareSchema registered_schema() {
    HardwareSchema schema;
    schema.schema_id = kSchemaId;
    schema.code_type = "surface";
    schema.distance = 3;
    schema.qubit_count = 17;
    schema.ancilla_count = 8;
    for (uint16_t i = 0; i < 10; ++i) {
        StabilizerEntry entry;
        entry.id = i;
        entry.type = i % 2 ? StabilizerType::Z : StabilizerType::X;
        entry.qubits = {i, static_cast<uint16_t>((i + 1) % 8)};
        if (i >= 7) entry.qubits.push_back(static_cast<uint16_t>(300 + i));
        schema.stabilizers.push_back(entry);
    }
    return schema;
}

// Hands the bytes out `chunk` at a time, optionally answering Pending before
// every chunk as a socket with nothing buffered would.
class ChunkedSource final : public ByteSource {
   public:
    ChunkedSource(std::span<const uint8_t> bytes, size_t chunk, bool pending_between)
        : bytes_(bytes), chunk_(chunk), pending_between_(pending_between) {}

    std::expected<ReadResult, VeskarError> read_some(std::span<uint8_t> buffer) override {
        VESKAR_FUZZ_CHECK(!buffer.empty(), "the reader asked for zero bytes");
        if (pending_between_ && !owe_data_) {
            owe_data_ = true;
            last_pending_ = true;
            return ReadResult{ReadStatus::Pending, 0};
        }
        owe_data_ = false;
        last_pending_ = false;
        size_t count = std::min({buffer.size(), bytes_.size() - position_, chunk_});
        if (count == 0) return ReadResult{ReadStatus::End, 0};
        std::memcpy(buffer.data(), bytes_.data() + position_, count);
        position_ += count;
        return ReadResult{ReadStatus::Data, count};
    }

    bool last_answer_was_pending() const { return last_pending_; }

   private:
    std::span<const uint8_t> bytes_;
    size_t chunk_;
    bool pending_between_;
    bool owe_data_ = false;
    bool last_pending_ = false;
    size_t position_ = 0;
};

uint16_t u16_at(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t u32_at(std::span<const uint8_t> bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | bytes[at + static_cast<size_t>(i)];
    return value;
}

uint64_t u64_at(std::span<const uint8_t> bytes, size_t at) {
    return uint64_t{u32_at(bytes, at + 4)} << 32 | u32_at(bytes, at);
}

// UTF-8 as the label rule reads it: shortest forms only, no surrogates,
// nothing past U+10FFFF. Written apart from the reader's own check.
bool valid_utf8(std::span<const uint8_t> s) {
    size_t i = 0;
    while (i < s.size()) {
        uint8_t b = s[i];
        size_t len;
        uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            cp = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            cp = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            cp = b & 0x07u;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (s[i + k] & 0x3Fu);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

struct ReferenceFrame {
    FrameHeader header;
    std::span<const uint8_t> events;
    std::span<const uint8_t> meas;
    std::span<const uint8_t> timing;
    std::span<const uint8_t> bitmap;
    std::optional<FrameMetadata> metadata;
    std::optional<std::vector<Annotation>> annotations;
};

enum class Kind { Frame, End, Error };

struct Step {
    Kind kind = Kind::End;
    ReferenceFrame frame;
    std::string error;
    bool stuck = false;  // the ring cannot hold a request: every later call fails alike
};

// The reader's rules over one flat buffer. `pos` is the count of bytes the
// reader has consumed, which is also its ring's read position.
class ReferenceReader {
   public:
    ReferenceReader(std::span<const uint8_t> input, size_t capacity, bool validate, const HardwareSchema* schema)
        : in_(input), capacity_(capacity), validate_(validate), schema_(schema) {}

    uint64_t pos() const { return pos_; }
    bool header_read() const { return header_read_; }
    std::optional<uint64_t> last_frame_id() const { return last_id_; }

    Step next() {
        if (!header_read_) {
            if (remaining() < kFileHeaderSize) return {};
            uint32_t magic = u32_at(in_, pos_);
            if (magic != 0x544F4C4D) return error(error::InvalidMagic{magic});
            uint16_t version = u16_at(in_, pos_ + 4);
            if (version != 1) return error(error::UnsupportedVersion{version});
            std::memcpy(schema_id_.data(), in_.data() + pos_ + 6, 16);
            pos_ += kFileHeaderSize;
            header_read_ = true;
        }
        switch (need(kFrameHeaderSize)) {
            case Need::Ended:
                return {};
            case Need::Full:
                return full(kFrameHeaderSize);
            case Need::Ready:
                break;
        }
        std::span<const uint8_t> header_bytes = in_.subspan(pos_, kFrameHeaderSize);
        ReferenceFrame f;
        FrameHeader& h = f.header;
        h.header_crc = u32_at(header_bytes, 32);
        uint32_t computed = crc32(header_bytes.first(32));
        if (computed != h.header_crc) return error(error::CrcMismatch{computed, h.header_crc});
        h.frame_id = u64_at(header_bytes, 0);
        h.round = u32_at(header_bytes, 8);
        h.timestamp_ns = u64_at(header_bytes, 12);
        h.qubit_count = u16_at(header_bytes, 20);
        h.ancilla_count = u16_at(header_bytes, 22);
        h.frame_aux = u32_at(header_bytes, 24);
        h.code_type = header_bytes[28];
        h.distance = header_bytes[29];
        h.flags = u16_at(header_bytes, 30);
        pos_ += kFrameHeaderSize;
        // An id that does not increase is reported once the frame is read,
        // so that the next call starts at the next frame.
        std::optional<error::FrameIdBackwards> backwards;
        if (last_id_ && h.frame_id <= *last_id_) {
            backwards = error::FrameIdBackwards{*last_id_, h.frame_id};
        } else {
            last_id_ = h.frame_id;
        }

        if (need(2) != Need::Ready) return error(error::PayloadLengthMismatch{2, remaining()});
        const size_t events_length = u16_at(in_, pos_);
        pos_ += 2;
        const size_t n = h.ancilla_count;
        const size_t timing = (h.flags & 1) ? 2 * n : 0;
        const size_t bitmap = (h.flags & 2) ? (n + 7) / 8 : 0;
        const size_t total = events_length + n + timing + bitmap;
        switch (need(total)) {
            case Need::Ended:
                return error(error::PayloadLengthMismatch{static_cast<uint32_t>(total), remaining()});
            case Need::Full:
                return full(total);
            case Need::Ready:
                break;
        }
        f.events = in_.subspan(pos_, events_length);
        f.meas = in_.subspan(pos_ + events_length, n);
        f.timing = in_.subspan(pos_ + events_length + n, timing);
        f.bitmap = in_.subspan(pos_ + events_length + n + timing, bitmap);
        pos_ += total;

        if (h.flags & 4) {
            if (need(2) != Need::Ready) return error(error::PayloadLengthMismatch{2, remaining()});
            size_t entries = u16_at(in_, pos_);
            pos_ += 2;
            FrameMetadata& m = f.metadata.emplace();
            // The input ending among the entries ends the block, not the frame.
            for (; entries > 0; --entries) {
                if (need(4) != Need::Ready) break;
                uint16_t tag = u16_at(in_, pos_);
                size_t length = u16_at(in_, pos_ + 2);
                pos_ += 4;
                Need value_ready = need(length);
                if (value_ready == Need::Full) return full(length);
                if (value_ready == Need::Ended) break;
                std::span<const uint8_t> value = in_.subspan(pos_, length);
                pos_ += length;
                if (tag == 1) {
                    if (valid_utf8(value)) {
                        m.label = std::string(value.begin(), value.end());
                    } else {
                        m.label.reset();
                    }
                } else if (tag == 2 && length == 4) {
                    m.aux_a = u32_at(value, 0);
                } else if (tag == 3 && length == 4) {
                    m.aux_b = u32_at(value, 0);
                } else if (tag == 4 && length == 1) {
                    m.aux_byte = value[0];
                } else if (tag == 16 && length == 8) {
                    m.observable_flips = u64_at(value, 0);
                }
            }
        }
        if (h.flags & 8) {
            if (need(1) != Need::Ready) return error(error::PayloadLengthMismatch{1, remaining()});
            size_t count = in_[pos_];
            pos_ += 1;
            auto& list = f.annotations.emplace();
            if (count > 0) {
                switch (need(10 * count)) {
                    case Need::Ended:
                        return error(error::PayloadLengthMismatch{static_cast<uint32_t>(10 * count), remaining()});
                    case Need::Full:
                        return full(10 * count);
                    case Need::Ready:
                        break;
                }
                for (size_t i = 0; i < count; ++i) {
                    size_t at = pos_ + 10 * i;
                    list.push_back(Annotation{u64_at(in_, at + 1), in_[at], in_[at + 9]});
                }
                pos_ += 10 * count;
            }
        }
        // The trailer is optional only where the input ends.
        if (need(kTrailerSize) == Need::Ready) {
            uint32_t expected = crc32(header_bytes);
            uint16_t marker = u16_at(in_, pos_);
            uint32_t stored = u32_at(in_, pos_ + 2);
            if (marker != 0xFFFF || stored != expected) return error(error::CrcMismatch{expected, stored});
            pos_ += kTrailerSize;
        }
        if (backwards) return error(*backwards);
        if (validate_) {
            SyndromeFrame frame = as_frame(f);
            if (auto timing_ok = check_timing(frame); !timing_ok) return error(timing_ok.error());
            if (schema_ != nullptr && schema_->schema_id == schema_id_) {
                if (auto same = check_schema_consistency(frame, *schema_); !same) return error(same.error());
                if (auto parity = check_parity(frame, *schema_); !parity) return error(parity.error());
            }
        }
        Step step;
        step.kind = Kind::Frame;
        step.frame = std::move(f);
        return step;
    }

    static SyndromeFrame as_frame(const ReferenceFrame& f) {
        SyndromeFrame frame;
        frame.header = f.header;
        frame.detector_events = f.events;
        frame.meas_results = {reinterpret_cast<const int8_t*>(f.meas.data()), f.meas.size()};
        frame.timing_offsets.bytes = f.timing;
        frame.ancilla_bitmap = f.bitmap;
        frame.metadata = f.metadata;
        frame.annotations = f.annotations;
        return frame;
    }

   private:
    enum class Need { Ready, Ended, Full };

    uint64_t remaining() const { return in_.size() - pos_; }

    // Whether n more bytes can be had: a request larger than the ring can
    // never be met, and fails once the ring is full (and ends the stream
    // normally if the input ends first).
    Need need(size_t n) const {
        if (n <= capacity_) return remaining() >= n ? Need::Ready : Need::Ended;
        return remaining() >= capacity_ ? Need::Full : Need::Ended;
    }

    Step error(const VeskarError& err) const {
        Step step;
        step.kind = Kind::Error;
        step.error = message(err);
        return step;
    }

    Step full(size_t n) const {
        Step step =
            error(error::PayloadLengthMismatch{static_cast<uint32_t>(std::min<size_t>(n, UINT32_MAX)), capacity_});
        step.stuck = true;
        return step;
    }

    std::span<const uint8_t> in_;
    size_t capacity_;
    bool validate_;
    const HardwareSchema* schema_;
    uint64_t pos_ = 0;
    bool header_read_ = false;
    std::optional<uint64_t> last_id_;
    SchemaId schema_id_{};
};

template <class T>
std::vector<uint8_t> bytes_of(std::span<const T> s) {
    auto raw = std::as_bytes(s);
    std::vector<uint8_t> out(raw.size());
    if (!raw.empty()) std::memcpy(out.data(), raw.data(), raw.size());
    return out;
}

// What every returned frame must satisfy whatever the reference says.
void check_frame_shape(const SyndromeFrame& frame) {
    const FrameHeader& h = frame.header;
    const size_t n = h.ancilla_count;
    VESKAR_FUZZ_CHECK(frame.meas_results.size() == n);
    VESKAR_FUZZ_CHECK(frame.timing_offsets.bytes.size() == ((h.flags & kFlagTimingOffsets) ? 2 * n : 0));
    VESKAR_FUZZ_CHECK(frame.timing_offsets.size() == ((h.flags & kFlagTimingOffsets) ? n : 0));
    VESKAR_FUZZ_CHECK(frame.ancilla_bitmap.size() == ((h.flags & kFlagAncillaBitmap) ? (n + 7) / 8 : 0));
    VESKAR_FUZZ_CHECK(frame.metadata.has_value() == ((h.flags & kFlagMetadata) != 0));
    VESKAR_FUZZ_CHECK(frame.annotations.has_value() == ((h.flags & kFlagAnnotations) != 0));
    if (frame.annotations) VESKAR_FUZZ_CHECK(frame.annotations->size() <= 255);
    const std::vector<uint8_t> events = decode_rle_events(frame.detector_events, n);
    VESKAR_FUZZ_CHECK(events.size() == n);
    VESKAR_FUZZ_CHECK(frame.detector_event_count() ==
                      static_cast<uint32_t>(std::count(events.begin(), events.end(), 1)));
}

void check_same_frame(const SyndromeFrame& got, const ReferenceFrame& want) {
    const FrameHeader& a = got.header;
    const FrameHeader& b = want.header;
    VESKAR_FUZZ_CHECK(a.frame_id == b.frame_id && a.round == b.round && a.timestamp_ns == b.timestamp_ns &&
                      a.qubit_count == b.qubit_count && a.ancilla_count == b.ancilla_count &&
                      a.frame_aux == b.frame_aux && a.code_type == b.code_type && a.distance == b.distance &&
                      a.flags == b.flags && a.header_crc == b.header_crc);
    VESKAR_FUZZ_CHECK(bytes_of(got.detector_events) == bytes_of(want.events), "detector events");
    VESKAR_FUZZ_CHECK(bytes_of(got.meas_results) == bytes_of(want.meas), "measurement results");
    VESKAR_FUZZ_CHECK(bytes_of(got.timing_offsets.bytes) == bytes_of(want.timing), "timing offsets");
    VESKAR_FUZZ_CHECK(bytes_of(got.ancilla_bitmap) == bytes_of(want.bitmap), "ancilla bitmap");
    VESKAR_FUZZ_CHECK(got.metadata == want.metadata, "metadata");
    VESKAR_FUZZ_CHECK(got.annotations == want.annotations, "annotations");
}

// One call of next_frame as a caller on a runtime makes it: again after every
// Pending. The reader may only answer Pending when the source just did; the
// source answers it at most once per chunk, so the calls are bounded.
std::expected<NextStatus, VeskarError> next_settled(TolmStream& stream, const ChunkedSource& source) {
    for (;;) {
        auto status = stream.next_frame();
        if (!status || *status != NextStatus::Pending) return status;
        VESKAR_FUZZ_CHECK(source.last_answer_was_pending(), "reader waits on a source that has data");
    }
}

void put_u32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Walks the frames as the reader would and rewrites each header CRC, and the
// CRC of each trailer whose marker is right (a wrong marker stays a fault to
// find).
void repair_crcs(std::vector<uint8_t>& s) {
    size_t p = kFileHeaderSize;
    while (p + kFrameHeaderSize <= s.size()) {
        put_u32(s, p + 32, crc32(std::span(s).subspan(p, 32)));
        const size_t n = u16_at(s, p + 22);
        const uint16_t flags = u16_at(s, p + 30);
        size_t q = p + kFrameHeaderSize;
        if (q + 2 > s.size()) return;
        q += 2 + u16_at(s, q) + n + ((flags & 1) ? 2 * n : 0) + ((flags & 2) ? (n + 7) / 8 : 0);
        if ((flags & 4) != 0) {
            if (q + 2 > s.size()) return;
            size_t entries = u16_at(s, q);
            q += 2;
            for (; entries > 0; --entries) {
                if (q + 4 > s.size()) return;
                q += 4 + u16_at(s, q + 2);
            }
        }
        if ((flags & 8) != 0) {
            if (q + 1 > s.size()) return;
            q += 1 + size_t{10} * s[q];
        }
        if (q + kTrailerSize > s.size()) return;
        if (u16_at(s, q) == 0xFFFF) put_u32(s, q + 2, crc32(std::span(s).subspan(p, kFrameHeaderSize)));
        p = q + kTrailerSize;
    }
}

void run(std::span<const uint8_t> data) {
    if (data.size() < 2) return;
    const uint8_t options = data[0];
    std::vector<uint8_t> stream_bytes(data.begin() + 2, data.end());
    if (data[1] & 1) repair_crcs(stream_bytes);
    const std::span<const uint8_t> input = stream_bytes;

    StreamConfig config;
    config.ring_capacity = kRingCapacities[options & 7];
    config.skip_validation = (options & 0x08) != 0;
    const bool registered = (options & 0x10) != 0;
    static const HardwareSchema schema = registered_schema();
    if (registered) config.schemas.insert(schema);
    const size_t capacity = config.ring_capacity;

    auto owned_source = std::make_unique<ChunkedSource>(input, kChunkLimits[(options >> 5) & 3], (options & 0x80) != 0);
    const ChunkedSource& source = *owned_source;
    TolmStream stream(std::move(owned_source), std::move(config));
    ReferenceReader reference(input, capacity, (options & 0x08) == 0, registered ? &schema : nullptr);

    // VESKAR_FUZZ_TRACE=1 prints every call's outcome, for reading a finding.
    static const bool trace = std::getenv("VESKAR_FUZZ_TRACE") != nullptr;
    std::optional<uint64_t> previous_id;
    std::string previous_error;
    uint64_t previous_pos = UINT64_MAX;
    // Every call either consumes input or repeats its outcome, so this bound
    // is never the reason the loop ends.
    for (size_t calls = 0; calls <= input.size() + 2; ++calls) {
        const uint64_t pos_before = stream.ring().read_pos();
        VESKAR_FUZZ_CHECK(pos_before == reference.pos());
        auto got = next_settled(stream, source);
        Step want = reference.next();
        if (trace) {
            std::fprintf(stderr, "call at %llu: %s / reference %s, now at %llu / %llu\n",
                         static_cast<unsigned long long>(pos_before),
                         !got                      ? message(got.error()).c_str()
                         : *got == NextStatus::End ? "end"
                                                   : "frame",
                         want.kind == Kind::Error ? want.error.c_str()
                         : want.kind == Kind::End ? "end"
                                                  : "frame",
                         static_cast<unsigned long long>(stream.ring().read_pos()),
                         static_cast<unsigned long long>(reference.pos()));
        }
        VESKAR_FUZZ_CHECK(stream.ring().read_pos() == reference.pos(), "resume position");
        VESKAR_FUZZ_CHECK(stream.header_read() == reference.header_read());
        VESKAR_FUZZ_CHECK(stream.last_frame_id() == reference.last_frame_id());
        if (!got) {
            std::string text = message(got.error());
            VESKAR_FUZZ_CHECK(want.kind == Kind::Error, "reader failed where the reference did not: " + text);
            VESKAR_FUZZ_CHECK(text == want.error, text + " instead of " + want.error);
            if (want.stuck || (text == previous_error && pos_before == previous_pos)) {
                // Nothing was consumed: the same call must fail the same way again.
                const uint64_t pos_after = stream.ring().read_pos();
                auto again = next_settled(stream, source);
                VESKAR_FUZZ_CHECK(!again && message(again.error()) == text, "a repeated failure changed");
                VESKAR_FUZZ_CHECK(stream.ring().read_pos() == pos_after, "a repeated failure consumed input");
                return;
            }
            previous_error = text;
            previous_pos = pos_before;
            continue;
        }
        previous_error.clear();
        if (*got == NextStatus::End) {
            VESKAR_FUZZ_CHECK(want.kind == Kind::End, "reader ended where the reference did not: " + want.error);
            // Input that has ended stays ended.
            auto again = next_settled(stream, source);
            VESKAR_FUZZ_CHECK(again && *again == NextStatus::End, "end of input did not last");
            return;
        }
        VESKAR_FUZZ_CHECK(want.kind == Kind::Frame, "reader produced a frame where the reference has: " + want.error);
        const SyndromeFrame& frame = stream.frame();
        check_frame_shape(frame);
        check_same_frame(frame, want.frame);
        VESKAR_FUZZ_CHECK(!previous_id || frame.header.frame_id > *previous_id, "frame ids must increase");
        previous_id = frame.header.frame_id;
    }
    broken("the reader neither ended nor repeated itself");
}

}  // namespace
}  // namespace veskar::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    veskar::fuzz::run(std::span<const uint8_t>(data, size));
    return 0;
}
