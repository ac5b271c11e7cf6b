#include "veskar/deserialize/stream.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <string>

#include "support/memory_source.hpp"
#include "support/tolm_builder.hpp"

namespace veskar {
namespace {

using namespace testing_support;

// Hands out the bytes in chunks of at most `chunk` and, when asked, answers
// Pending before every chunk or fails once with an I/O error at a byte offset.
class ScriptedSource final : public ByteSource {
   public:
    ScriptedSource(std::vector<uint8_t> bytes, size_t chunk, bool pending_between = false,
                   std::optional<size_t> fail_at = std::nullopt)
        : bytes_(std::move(bytes)), chunk_(chunk), pending_between_(pending_between), fail_at_(fail_at) {}

    std::expected<ReadResult, VeskarError> read_some(std::span<uint8_t> buffer) override {
        if (pending_between_ && !owe_data_) {
            owe_data_ = true;
            return ReadResult{ReadStatus::Pending, 0};
        }
        owe_data_ = false;
        if (fail_at_ && position_ >= *fail_at_) {
            fail_at_.reset();
            return std::unexpected(io_error_from_errno(EIO));
        }
        size_t count = std::min({buffer.size(), bytes_.size() - position_, chunk_});
        if (fail_at_) count = std::min(count, *fail_at_ - position_);
        if (count == 0) return ReadResult{ReadStatus::End, 0};
        std::memcpy(buffer.data(), bytes_.data() + position_, count);
        position_ += count;
        return ReadResult{ReadStatus::Data, count};
    }

   private:
    std::vector<uint8_t> bytes_;
    size_t chunk_;
    bool pending_between_;
    std::optional<size_t> fail_at_;
    bool owe_data_ = false;
    size_t position_ = 0;
};

TolmStream memory_stream(std::vector<uint8_t> bytes, StreamConfig config = {}) {
    return TolmStream(std::make_unique<MemorySource>(std::move(bytes)), std::move(config));
}

void expect_frame_matches(const SyndromeFrame& frame, const FrameSpec& spec) {
    EXPECT_EQ(frame.header.frame_id, spec.frame_id);
    EXPECT_EQ(frame.header.round, spec.round);
    EXPECT_EQ(frame.header.timestamp_ns, spec.timestamp_ns);
    EXPECT_EQ(frame.header.qubit_count, spec.qubit_count);
    EXPECT_EQ(frame.header.ancilla_count, spec.ancilla_count);
    EXPECT_EQ(frame.header.code_type, spec.code_type);
    EXPECT_EQ(frame.header.flags, flags_of(spec));
    EXPECT_EQ(std::vector<uint8_t>(frame.detector_events.begin(), frame.detector_events.end()), spec.detector_runs);
    EXPECT_EQ(std::vector<int8_t>(frame.meas_results.begin(), frame.meas_results.end()), spec.meas_results);
    std::vector<uint16_t> offsets;
    for (size_t i = 0; i < frame.timing_offsets.size(); ++i) offsets.push_back(frame.timing_offsets[i]);
    EXPECT_EQ(offsets, spec.timing_offsets.value_or(std::vector<uint16_t>{}));
    EXPECT_EQ(std::vector<uint8_t>(frame.ancilla_bitmap.begin(), frame.ancilla_bitmap.end()),
              spec.ancilla_bitmap.value_or(std::vector<uint8_t>{}));
    ASSERT_EQ(frame.metadata.has_value(), spec.metadata.has_value());
    if (spec.metadata) {
        FrameMetadata expected;
        for (const auto& entry : *spec.metadata) apply_metadata_entry(expected, entry.tag, entry.value);
        EXPECT_EQ(*frame.metadata, expected);
    }
    EXPECT_EQ(frame.annotations, spec.annotations);
}

// Reads until end or error; returns the frames' ids and the first error.
struct Outcome {
    std::vector<uint64_t> frame_ids;
    std::optional<VeskarError> error;
};

Outcome read_all(TolmStream& stream, const std::vector<FrameSpec>& specs) {
    Outcome outcome;
    for (int calls = 0; calls < 10000; ++calls) {
        auto next = stream.next_frame();
        if (!next) {
            if (!outcome.error) outcome.error = next.error();
            continue;
        }
        if (*next == NextStatus::Pending) continue;
        if (*next == NextStatus::End) break;
        EXPECT_FALSE(outcome.error) << "no frame may follow an error in these streams";
        size_t index = outcome.frame_ids.size();
        if (index < specs.size()) expect_frame_matches(stream.frame(), specs[index]);
        outcome.frame_ids.push_back(stream.frame().header.frame_id);
    }
    return outcome;
}

TEST(TolmStream, ShortInputsEndWithoutError) {
    for (size_t size : {0, 1, 25}) {
        auto bytes = file_header();
        bytes.resize(size);
        auto stream = memory_stream(bytes);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(stream.next_frame(), NextStatus::End);
    }
    auto bytes = file_header();
    bytes.resize(26 + 35, 0xAB);
    auto stream = memory_stream(bytes);
    EXPECT_EQ(stream.next_frame(), NextStatus::End);
    EXPECT_TRUE(stream.header_read());
}

TEST(TolmStream, ReadsEverySectionOfEveryFrame) {
    std::vector<FrameSpec> specs;
    for (uint64_t id = 1; id <= 30; ++id) specs.push_back(id % 3 ? rich_frame(id) : surface_round(id));
    specs[4].annotations = std::vector<Annotation>{};  // a present, empty annotation list
    specs[5].metadata = std::vector<MetadataEntry>{};  // a present metadata block without entries
    auto stream = memory_stream(stream_of(specs));
    Outcome outcome = read_all(stream, specs);
    EXPECT_EQ(outcome.frame_ids.size(), specs.size());
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(stream.last_frame_id(), 30u);
}

TEST(TolmStream, SmallestFrameIsHeaderLengthAndTrailer) {
    FrameSpec empty;
    empty.frame_id = 4;
    EXPECT_EQ(frame_bytes(empty).size(), 36u + 2 + 6);
    auto stream = memory_stream(stream_of({empty}));
    ASSERT_EQ(stream.next_frame(), NextStatus::Frame);
    EXPECT_EQ(stream.frame().detector_event_count(), 0u);
    EXPECT_EQ(stream.next_frame(), NextStatus::End);
}

// A chunked, resumable read over every ring size and split must see exactly
// what a single in-memory read sees: frames, headers and trailers that lie
// across the ring's end are verified like any other.
TEST(TolmStream, RingWrapsAndChunkSplitsNeverChangeAFrame) {
    std::vector<FrameSpec> specs;
    for (uint64_t id = 1; id <= 25; ++id) specs.push_back(rich_frame(id));
    specs[7].trailer = true;
    auto bytes = stream_of(specs);
    for (size_t capacity = 64; capacity <= 160; ++capacity) {
        for (size_t chunk : {1, 5, 4096}) {
            StreamConfig config;
            config.ring_capacity = capacity;
            TolmStream stream(std::make_unique<ScriptedSource>(bytes, chunk, chunk == 5), std::move(config));
            Outcome outcome = read_all(stream, specs);
            ASSERT_EQ(outcome.frame_ids.size(), specs.size()) << "capacity " << capacity << " chunk " << chunk;
            ASSERT_FALSE(outcome.error) << message(*outcome.error);
        }
    }
}

TEST(TolmStream, PendingKeepsProgressInsideEveryStep) {
    std::vector<FrameSpec> specs{rich_frame(1), surface_round(2), rich_frame(3)};
    TolmStream stream(std::make_unique<ScriptedSource>(stream_of(specs), 1, true));
    size_t pending = 0;
    std::vector<uint64_t> ids;
    for (;;) {
        auto next = stream.next_frame();
        ASSERT_TRUE(next) << message(next.error());
        if (*next == NextStatus::End) break;
        if (*next == NextStatus::Pending) {
            ++pending;
            continue;
        }
        expect_frame_matches(stream.frame(), specs[ids.size()]);
        ids.push_back(stream.frame().header.frame_id);
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_GT(pending, stream_of(specs).size() / 2);
}

TEST(TolmStream, ReadErrorIsReportedAndTheReadResumes) {
    std::vector<FrameSpec> specs{rich_frame(1), rich_frame(2), rich_frame(3)};
    auto bytes = stream_of(specs);
    for (size_t fail_at : {size_t{10}, size_t{26 + 40}, bytes.size() - 3}) {
        TolmStream stream(std::make_unique<ScriptedSource>(bytes, 7, false, fail_at));
        std::vector<uint64_t> ids;
        int errors = 0;
        for (int calls = 0; calls < 20; ++calls) {
            auto next = stream.next_frame();
            if (!next) {
                ++errors;
                EXPECT_EQ(message(next.error()), "i/o error: " + std::generic_category().message(EIO));
                continue;
            }
            if (*next == NextStatus::End) break;
            expect_frame_matches(stream.frame(), specs[ids.size()]);
            ids.push_back(stream.frame().header.frame_id);
        }
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(ids.size(), 3u) << "fail at " << fail_at;
    }
}

TEST(TolmStream, RepeatedIdIsReportedAfterItsFrameAndTheNextFrameReads) {
    std::vector<FrameSpec> specs{rich_frame(5), rich_frame(5), rich_frame(3), rich_frame(6)};
    auto stream = memory_stream(stream_of(specs));
    ASSERT_EQ(stream.next_frame(), NextStatus::Frame);
    auto repeated = stream.next_frame();
    ASSERT_FALSE(repeated);
    EXPECT_EQ(message(repeated.error()), "frame ID went backwards: last seen 5, got 5");
    auto backwards = stream.next_frame();
    ASSERT_FALSE(backwards);
    EXPECT_EQ(message(backwards.error()), "frame ID went backwards: last seen 5, got 3");
    EXPECT_EQ(stream.last_frame_id(), 5u);
    ASSERT_EQ(stream.next_frame(), NextStatus::Frame);
    expect_frame_matches(stream.frame(), specs[3]);
    EXPECT_EQ(stream.next_frame(), NextStatus::End);
}

TEST(TolmStream, RepeatedIdFrameTruncatedReportsTheTruncation) {
    std::vector<FrameSpec> specs{surface_round(5), surface_round(5)};
    auto bytes = stream_of(specs);
    bytes.resize(bytes.size() - 20);
    auto stream = memory_stream(bytes);
    ASSERT_EQ(stream.next_frame(), NextStatus::Frame);
    auto next = stream.next_frame();
    ASSERT_FALSE(next);
    EXPECT_TRUE(holds<error::PayloadLengthMismatch>(next.error()));
}

// Cutting a two-frame recording at every byte gives each frame that is whole
// (the last one may lack its trailer), then end or a length error, and never
// a frame with other data.
TEST(TolmStream, TruncationAtEveryByte) {
    std::vector<FrameSpec> specs{rich_frame(1), rich_frame(2)};
    auto bytes = stream_of(specs);
    size_t first_end = 26 + frame_bytes(specs[0]).size();
    size_t second_end = bytes.size();
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        auto stream = memory_stream(std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut));
        Outcome outcome = read_all(stream, specs);
        size_t whole = (cut >= second_end - kTrailerSize) ? 2 : (cut >= first_end - kTrailerSize) ? 1 : 0;
        ASSERT_EQ(outcome.frame_ids.size(), whole) << "cut at " << cut;
        size_t frame_start = whole == 0 ? 26 : first_end;
        bool inside_frame = whole < 2 && cut >= frame_start + kFrameHeaderSize;
        if (inside_frame) {
            ASSERT_TRUE(outcome.error) << "cut at " << cut;
            ASSERT_TRUE(holds<error::PayloadLengthMismatch>(*outcome.error)) << message(*outcome.error);
            auto mismatch = std::get<error::PayloadLengthMismatch>(*outcome.error);
            EXPECT_LT(mismatch.found, mismatch.declared);
        } else {
            EXPECT_FALSE(outcome.error) << "cut at " << cut << ": " << message(*outcome.error);
        }
    }
}

TEST(TolmStream, TrailerRules) {
    FrameSpec last = surface_round(2);
    last.trailer = false;
    auto stream = memory_stream(stream_of({surface_round(1), last}));
    EXPECT_EQ(stream.next_frame(), NextStatus::Frame);
    EXPECT_EQ(stream.next_frame(), NextStatus::Frame);
    EXPECT_EQ(stream.next_frame(), NextStatus::End);

    FrameSpec middle = surface_round(1);
    middle.trailer = false;
    auto missing = memory_stream(stream_of({middle, surface_round(2)}));
    auto next = missing.next_frame();
    ASSERT_FALSE(next);
    EXPECT_TRUE(holds<error::CrcMismatch>(next.error()));

    auto bytes = stream_of({surface_round(1)});
    bytes[bytes.size() - 6] = 0xFE;  // marker 0xFFFE, crc still right
    auto marked = memory_stream(bytes);
    next = marked.next_frame();
    ASSERT_FALSE(next);
    auto mismatch = std::get<error::CrcMismatch>(next.error());
    EXPECT_EQ(mismatch.expected, mismatch.got);
}

TEST(TolmStream, HeaderErrorsRepeatOnEveryCall) {
    auto stream = memory_stream(file_header({}, 3));
    for (int i = 0; i < 3; ++i) {
        auto next = stream.next_frame();
        ASSERT_FALSE(next);
        EXPECT_EQ(message(next.error()), "unsupported TOLM format version: 3");
    }
    auto bytes = stream_of({surface_round(1)});
    bytes[26 + 3] ^= 0x10;
    auto corrupt = memory_stream(bytes);
    for (int i = 0; i < 3; ++i) {
        auto next = corrupt.next_frame();
        ASSERT_FALSE(next);
        EXPECT_TRUE(holds<error::CrcMismatch>(next.error()));
    }
}

// A metadata block far longer than the ring makes the ring reuse the bytes
// under the frame's sections; the frame must still show its own sections.
TEST(TolmStream, LongMetadataNeverExposesOverwrittenSections) {
    FrameSpec spec = surface_round(1);
    spec.metadata.emplace();
    for (uint64_t k = 0; k < 300; ++k) spec.metadata->push_back({16, u64_bytes(k)});
    spec.annotations = std::vector<Annotation>{{1, 2, 3}, {4, 5, 6}};
    for (size_t capacity : {48, 64, 97, 128}) {
        StreamConfig config;
        config.ring_capacity = capacity;
        TolmStream stream(std::make_unique<ScriptedSource>(stream_of({spec, surface_round(2)}), 13), std::move(config));
        Outcome outcome = read_all(stream, {spec, surface_round(2)});
        EXPECT_EQ(outcome.frame_ids, (std::vector<uint64_t>{1, 2})) << capacity;
        EXPECT_FALSE(outcome.error);
    }
}

TEST(TolmStream, RequestLargerThanTheRingIsRefusedWithoutLosingBytes) {
    FrameSpec spec = surface_round(1);
    spec.timing_offsets = std::vector<uint16_t>(24, 0);
    StreamConfig config;
    config.ring_capacity = 40;  // holds a header, not the 77 bytes of sections
    auto stream = memory_stream(stream_of({spec}), std::move(config));
    auto next = stream.next_frame();
    ASSERT_FALSE(next);
    EXPECT_EQ(message(next.error()), "payload length mismatch: header declares 77 bytes, found 40");
}

HardwareSchema schema_for(const FrameSpec& spec, SchemaId id) {
    HardwareSchema schema;
    schema.schema_id = id;
    schema.code_type = "surface";
    schema.qubit_count = spec.qubit_count;
    schema.ancilla_count = spec.ancilla_count;
    // Stabilizer i reads result i: a result below 1 means the detector fired.
    for (uint16_t i = 0; i < spec.ancilla_count; ++i) schema.stabilizers.push_back({i, StabilizerType::Z, {i}});
    return schema;
}

TEST(TolmStream, ValidationRunsTimingAlwaysAndSchemaChecksOnlyWhenRegistered) {
    SchemaId id{};
    id[0] = 0x42;
    FrameSpec good = surface_round(1);  // fired detectors 5, 16, 17 match results below 1
    FrameSpec late = surface_round(2);
    late.timing_offsets = std::vector<uint16_t>(24, 10000);
    late.timing_offsets->at(7) = 10001;
    FrameSpec wrong_parity = surface_round(3);
    wrong_parity.meas_results[0] = 0;
    FrameSpec wrong_code = surface_round(4);
    wrong_code.code_type = 4;
    std::vector<FrameSpec> specs{good, late, wrong_parity, wrong_code};

    auto messages = [&](StreamConfig config) {
        auto stream = memory_stream(stream_of(specs, id), std::move(config));
        std::vector<std::string> out;
        for (size_t i = 0; i < specs.size(); ++i) {
            auto next = stream.next_frame();
            out.push_back(next ? "frame" : message(next.error()));
        }
        return out;
    };

    StreamConfig registered;
    registered.schemas.insert(schema_for(good, id));
    EXPECT_EQ(messages(std::move(registered)),
              (std::vector<std::string>{"frame", "timing offset out of bounds: ancilla 7, offset 10001 ns",
                                        "parity violation in frame 3 at stabilizer index 0",
                                        "frame/schema mismatch on code_type: schema expects 1, frame has 4"}));

    EXPECT_EQ(messages(StreamConfig{}),
              (std::vector<std::string>{"frame", "timing offset out of bounds: ancilla 7, offset 10001 ns", "frame",
                                        "frame"}));

    StreamConfig skip;
    skip.skip_validation = true;
    skip.schemas.insert(schema_for(good, id));
    EXPECT_EQ(messages(std::move(skip)), (std::vector<std::string>{"frame", "frame", "frame", "frame"}));
}

// A frame buffered whole is taken in one pass, any other step by step; the
// bulk entry point takes only the former. Whatever the mix, each recording
// must give the same frames and the same errors in the same order: read
// whole, byte by byte, and in bulk over whole and chunked input.
struct PathCase {
    const char* name;
    std::vector<uint8_t> bytes;
};

void PrintTo(const PathCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<PathCase> path_cases() {
    const std::vector<FrameSpec> specs{rich_frame(1), surface_round(2), rich_frame(3), surface_round(4)};
    const std::vector<uint8_t> intact = stream_of(specs);
    const size_t second_end = kFileHeaderSize + frame_bytes(specs[0]).size() + frame_bytes(specs[1]).size();
    std::vector<PathCase> cases{{"intact", intact}};
    auto trailer = intact;
    trailer[second_end - 1] ^= 0x01;
    cases.push_back({"trailer CRC wrong", trailer});
    auto header = intact;
    header[second_end + 9] ^= 0x01;
    cases.push_back({"header CRC wrong", header});
    cases.push_back({"repeated and backward ids",
                     stream_of({surface_round(2), rich_frame(2), surface_round(1), surface_round(3)})});
    FrameSpec late = surface_round(2);
    late.timing_offsets = std::vector<uint16_t>(24, 10001);
    cases.push_back({"timing out of bounds", stream_of({surface_round(1), late, surface_round(3)})});
    FrameSpec long_entry = rich_frame(2);
    long_entry.metadata->push_back({7, std::vector<uint8_t>(300, 1)});
    auto overlong = stream_of({surface_round(1), long_entry, surface_round(3)});
    cases.push_back({"long metadata entry", overlong});
    overlong.resize(overlong.size() - 100);
    cases.push_back({"cut inside a metadata entry", overlong});
    FrameSpec last = rich_frame(3);
    last.trailer = false;
    cases.push_back({"last trailer omitted", stream_of({surface_round(1), rich_frame(2), last})});
    auto cut = intact;
    cut.resize(cut.size() - 9);
    cases.push_back({"cut inside the last frame", cut});
    return cases;
}

std::string describe(const SyndromeFrame& f) {
    std::string out = "frame " + std::to_string(f.header.frame_id) + " r" + std::to_string(f.header.round) + " t" +
                      std::to_string(f.header.timestamp_ns) + " a" + std::to_string(f.header.ancilla_count) + " e";
    for (uint8_t b : f.detector_events) out += std::to_string(b) + ",";
    out += " m";
    for (int8_t b : f.meas_results) out += std::to_string(b) + ",";
    out += " o";
    for (size_t i = 0; i < f.timing_offsets.size(); ++i) out += std::to_string(f.timing_offsets[i]) + ",";
    out += " b";
    for (uint8_t b : f.ancilla_bitmap) out += std::to_string(b) + ",";
    if (f.metadata) {
        out += " label=" + f.metadata->label.value_or("-") +
               " flips=" + std::to_string(f.metadata->observable_flips.value_or(0)) +
               " a=" + std::to_string(f.metadata->aux_a.value_or(0));
    }
    if (f.annotations) {
        for (const Annotation& a : *f.annotations) out += " @" + std::to_string(a.value) + "/" + std::to_string(a.kind);
    }
    return out;
}

// Up to 12 answers, frames described in full, until the end.
template <typename Next>
std::vector<std::string> transcript(TolmStream& stream, Next next) {
    std::vector<std::string> out;
    while (out.size() < 12) {
        std::expected<NextStatus, VeskarError> got = next();
        if (got == NextStatus::Pending) continue;
        if (got == NextStatus::End) break;
        out.push_back(got ? describe(stream.frame()) : "error: " + message(got.error()));
    }
    return out;
}

std::vector<std::string> read_one_by_one(std::vector<uint8_t> bytes, size_t chunk) {
    TolmStream stream(std::make_unique<ScriptedSource>(std::move(bytes), chunk));
    return transcript(stream, [&] { return stream.next_frame(); });
}

std::vector<std::string> read_in_bulk(std::vector<uint8_t> bytes, size_t chunk) {
    TolmStream stream(std::make_unique<ScriptedSource>(std::move(bytes), chunk));
    return transcript(stream, [&]() -> std::expected<NextStatus, VeskarError> {
        auto buffered = stream.next_buffered_frame();
        if (!buffered) return std::unexpected(buffered.error());
        return *buffered ? NextStatus::Frame : stream.next_frame();
    });
}

class ReadPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(ReadPaths, WholeFramesReadAsTheStepsReadThem) {
    const std::vector<uint8_t>& bytes = GetParam().bytes;
    const std::vector<std::string> stepwise = read_one_by_one(bytes, 1);
    ASSERT_FALSE(stepwise.empty());
    EXPECT_EQ(read_one_by_one(bytes, bytes.size()), stepwise);
    EXPECT_EQ(read_in_bulk(bytes, bytes.size()), stepwise);
    EXPECT_EQ(read_in_bulk(bytes, 50), stepwise);
}

INSTANTIATE_TEST_SUITE_P(Recordings, ReadPaths, ::testing::ValuesIn(path_cases()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

// Recovery with resync(): each recording is read up to its damage, which
// fails twice alike (the reader never skips on its own), then resync()
// passes over exactly the damaged bytes and the frames after them read.
struct ResyncCase {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t frames_before;  // frames 1.. read intact before the damage
    Resync::Status status;
    uint64_t skipped;
    std::vector<uint64_t> ids_after;
};

std::vector<ResyncCase> resync_cases() {
    const std::vector<uint8_t> first = frame_bytes(rich_frame(1));
    const std::vector<uint8_t> second = frame_bytes(surface_round(2));
    const std::vector<uint8_t> third = frame_bytes(rich_frame(3));
    const size_t second_at = kFileHeaderSize + first.size();
    const std::vector<uint8_t> intact = stream_of({rich_frame(1), surface_round(2), rich_frame(3)});
    const std::vector<uint8_t> garbage = [] {
        std::vector<uint8_t> bytes(100);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 97 + 13);
        return bytes;
    }();

    std::vector<ResyncCase> cases;
    auto flipped_header = intact;
    flipped_header[second_at + 5] ^= 0x04;  // in the frame id
    cases.push_back({"bit flipped in a frame header", flipped_header, 1, Resync::Status::Found, second.size(), {3}});
    // The high bit of the events length: the frame claims 32 KiB more than
    // the input holds; the reader stops after the length word.
    auto flipped_payload = intact;
    flipped_payload[second_at + kFrameHeaderSize + 1] ^= 0x80;
    cases.push_back({"bit flipped in a payload",
                     flipped_payload,
                     1,
                     Resync::Status::Found,
                     second.size() - kFrameHeaderSize - 2,
                     {3}});
    // Garbage, then a replay of frame 1: its header checks, but its id is
    // not past the last one read, so it is passed over too.
    auto with_garbage = stream_of({rich_frame(1)});
    for (const auto* part : {&garbage, &first, &second, &third}) {
        with_garbage.insert(with_garbage.end(), part->begin(), part->end());
    }
    cases.push_back(
        {"garbage between frames", with_garbage, 1, Resync::Status::Found, garbage.size() + first.size(), {2, 3}});
    auto garbage_at_end = stream_of({rich_frame(1)});
    garbage_at_end.insert(garbage_at_end.end(), garbage.begin(), garbage.begin() + 50);
    cases.push_back({"no later header", garbage_at_end, 1, Resync::Status::End, 50, {}});
    return cases;
}

bool is_pending(const std::expected<NextStatus, VeskarError>& result) {
    return result && *result == NextStatus::Pending;
}
bool is_pending(const std::expected<Resync, VeskarError>& result) {
    return result && result->status == Resync::Status::Pending;
}

// Calls again while the source has nothing yet, counting the Pending answers.
template <typename Call>
auto settled(Call call, size_t& pending) {
    auto result = call();
    for (; is_pending(result); result = call()) ++pending;
    return result;
}

TEST(TolmStream, ResyncPassesOverDamageToTheNextAcceptedHeader) {
    for (const ResyncCase& c : resync_cases()) {
        for (bool trickled : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (trickled ? ", 3 bytes at a time" : ""));
            TolmStream stream(std::make_unique<ScriptedSource>(c.bytes, trickled ? 3 : c.bytes.size(), trickled));
            size_t pending = 0;
            auto next = [&] { return settled([&] { return stream.next_frame(); }, pending); };
            for (uint64_t id = 1; id <= c.frames_before; ++id) {
                ASSERT_EQ(next(), NextStatus::Frame);
                EXPECT_EQ(stream.frame().header.frame_id, id);
            }
            auto failed = next();
            ASSERT_FALSE(failed);
            if (holds<error::CrcMismatch>(failed.error())) {
                auto again = next();
                ASSERT_FALSE(again) << "a header that fails its CRC fails again";
                EXPECT_EQ(message(again.error()), message(failed.error()));
            }
            auto resynced = settled([&] { return stream.resync(); }, pending);
            ASSERT_TRUE(resynced) << message(resynced.error());
            EXPECT_EQ(resynced->status, c.status);
            EXPECT_EQ(resynced->skipped, c.skipped);
            std::vector<uint64_t> ids;
            for (auto got = next(); got != NextStatus::End; got = next()) {
                ASSERT_EQ(got, NextStatus::Frame) << (got ? "" : message(got.error()));
                ids.push_back(stream.frame().header.frame_id);
            }
            EXPECT_EQ(ids, c.ids_after);
            EXPECT_EQ(pending > 0, trickled);
        }
    }
}

TEST(TolmStream, ResyncOnAnIntactStreamSkipsNothing) {
    auto stream = memory_stream(stream_of({surface_round(1), surface_round(2)}));
    for (uint64_t id : {1, 2}) {
        auto resynced = stream.resync();  // the first reads the file header on the way
        ASSERT_TRUE(resynced);
        EXPECT_EQ(resynced->status, Resync::Status::Found);
        EXPECT_EQ(resynced->skipped, 0u);
        ASSERT_EQ(stream.next_frame(), NextStatus::Frame);
        EXPECT_EQ(stream.frame().header.frame_id, id);
    }
    auto at_end = stream.resync();
    ASSERT_TRUE(at_end);
    EXPECT_EQ(at_end->status, Resync::Status::End);
    EXPECT_EQ(at_end->skipped, 0u);

    auto bad_file_header = memory_stream(file_header({}, 3));
    auto refused = bad_file_header.resync();
    ASSERT_FALSE(refused);
    EXPECT_EQ(message(refused.error()), "unsupported TOLM format version: 3");
}

}  // namespace
}  // namespace veskar
