#include "veskar/deserialize/parser.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string_view>

#include "support/tolm_builder.hpp"
#include "veskar/deserialize/crc32.hpp"

namespace veskar {
namespace {

using namespace testing_support;

uint32_t bitwise_crc32(std::span<const uint8_t> bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

TEST(Crc32, CheckValue) {
    std::string_view digits = "123456789";
    EXPECT_EQ(crc32({reinterpret_cast<const uint8_t*>(digits.data()), digits.size()}), 0xCBF43926u);
    EXPECT_EQ(crc32({}), 0u);
}

TEST(Crc32, SlicedFormMatchesBitwiseAtEveryLengthAndAlignment) {
    std::mt19937 rng(3);
    std::vector<uint8_t> data(300);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t length = 0; offset + length <= 200; length += 1 + length / 16) {
            auto piece = std::span<const uint8_t>(data).subspan(offset, length);
            ASSERT_EQ(crc32(piece), bitwise_crc32(piece)) << offset << "+" << length;
            for (size_t cut = 0; cut <= length; cut += 5) {
                ASSERT_EQ(crc32_extend(crc32(piece.first(cut)), piece.subspan(cut)), crc32(piece));
            }
        }
    }
}

// The folding form against the table form from any register state, over
// random lengths up to 4096 bytes (whole blocks, words and a byte tail in
// every mix) starting at each misalignment of a 16-byte block.
class Crc32Folding : public ::testing::TestWithParam<size_t> {};

TEST_P(Crc32Folding, MatchesTheTableFormAtRandomLengths) {
    if (!crc32_forms::folding_available()) GTEST_SKIP() << "no carry-less multiply on this CPU";
    const size_t misalignment = GetParam();
    std::mt19937 rng(static_cast<unsigned>(misalignment) + 11);
    std::vector<uint8_t> data(4096 + 16);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (int trial = 0; trial < 400; ++trial) {
        const size_t length = trial < 40 ? static_cast<size_t>(trial) : rng() % 4097;
        const uint32_t state = static_cast<uint32_t>(rng());
        auto piece = std::span<const uint8_t>(data).subspan(misalignment, length);
        ASSERT_EQ(crc32_forms::folding_update(state, piece), crc32_forms::table_update(state, piece))
            << "length " << length << ", state " << state;
    }
}

INSTANTIATE_TEST_SUITE_P(Misalignments, Crc32Folding, ::testing::Range<size_t>(0, 16));

TEST(FileHeader, ParsesMagicVersionAndSchemaId) {
    SchemaId id{};
    for (uint8_t i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(0xF0 + i);
    auto bytes = file_header(id);
    ASSERT_EQ(bytes[0], 0x4D);
    ASSERT_EQ(bytes[3], 0x54);
    auto parsed = parse_file_header(bytes);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->used, 26u);
    EXPECT_EQ(parsed->value.schema_id, id);
    EXPECT_EQ(parsed->value.header_aux, 0xA5A5A5A5u);
}

TEST(FileHeader, ReportsLengthThenMagicThenVersion) {
    auto short_header = file_header();
    short_header.resize(25);
    EXPECT_EQ(message(parse_file_header(short_header).error()),
              "payload length mismatch: header declares 26 bytes, found 25");

    auto zero_magic = file_header({}, 2, 0);
    EXPECT_EQ(message(parse_file_header(zero_magic).error()),
              "invalid TOLM magic bytes: expected 0x544F4C4D, got 0x00000000");

    auto version_two = file_header({}, 2);
    EXPECT_EQ(message(parse_file_header(version_two).error()), "unsupported TOLM format version: 2");
}

TEST(FrameHeader, RoundTripsEveryField) {
    FrameSpec spec = rich_frame(0x1122334455667788ULL);
    spec.extra_flags = 0xFFF0;  // unknown flag bits are carried
    auto bytes = frame_header_bytes(spec);
    auto parsed = parse_frame_header(bytes);
    ASSERT_TRUE(parsed);
    const FrameHeader& h = parsed->value;
    EXPECT_EQ(h.frame_id, spec.frame_id);
    EXPECT_EQ(h.round, spec.round);
    EXPECT_EQ(h.timestamp_ns, spec.timestamp_ns);
    EXPECT_EQ(h.qubit_count, spec.qubit_count);
    EXPECT_EQ(h.ancilla_count, spec.ancilla_count);
    EXPECT_EQ(h.code_type, spec.code_type);
    EXPECT_EQ(h.flags, flags_of(spec));
    EXPECT_EQ(h.header_crc, crc32(std::span(bytes).first(32)));
}

TEST(FrameHeader, AnyFlippedBitFailsTheCrcWithComputedAndStoredValues) {
    auto original = frame_header_bytes(surface_round(9));
    uint32_t stored = read_le<uint32_t>(original.data() + 32);
    for (size_t bit = 0; bit < 32 * 8; ++bit) {
        auto bytes = original;
        bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        auto parsed = parse_frame_header(bytes);
        ASSERT_FALSE(parsed) << "bit " << bit;
        auto* mismatch = std::get_if<error::CrcMismatch>(&parsed.error());
        ASSERT_NE(mismatch, nullptr);
        EXPECT_EQ(mismatch->expected, crc32(std::span(bytes).first(32)));
        EXPECT_EQ(mismatch->got, stored);
    }
    original.resize(35);
    EXPECT_EQ(message(parse_frame_header(original).error()),
              "payload length mismatch: header declares 36 bytes, found 35");
}

struct RleCase {
    std::vector<uint8_t> runs;
    size_t n;
    std::vector<uint8_t> events;
};

class RunLengthCode : public testing::TestWithParam<RleCase> {};

TEST_P(RunLengthCode, ExpandsCutsAndPads) {
    EXPECT_EQ(decode_rle_events(GetParam().runs, GetParam().n), GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunLengthCode,
                         testing::Values(RleCase{{0x03, 0x82, 0x01}, 8, {0, 0, 0, 1, 1, 0, 0, 0}},
                                         RleCase{{0x80}, 3, {0, 0, 0}}, RleCase{{0xFF, 0x85}, 4, {1, 1, 1, 1}},
                                         RleCase{{}, 2, {0, 0}}, RleCase{{0x85}, 0, {}},
                                         RleCase{{0x00, 0x81, 0x80, 0x01, 0x81}, 4, {1, 0, 1, 0}}));

TEST(Annotations, ReadsOnlyWholeRecordsUpToTheCount) {
    std::vector<uint8_t> block{2};
    for (uint8_t k = 0; k < 2; ++k) {
        block.push_back(static_cast<uint8_t>(10 + k));
        put_u64(block, 0x0102030405060708ULL * (k + 1));
        block.push_back(static_cast<uint8_t>(20 + k));
    }
    auto two = parse_annotations(block);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1], (Annotation{0x0102030405060708ULL * 2, 11, 21}));

    auto cut = std::span<const uint8_t>(block).first(15);
    EXPECT_EQ(parse_annotations(cut).size(), 1u);
    block[0] = 1;
    EXPECT_EQ(parse_annotations(block).size(), 1u);
    EXPECT_TRUE(parse_annotations(std::vector<uint8_t>{0}).empty());
    EXPECT_TRUE(parse_annotations({}).empty());
}

TEST(Metadata, KnownTagsOfTheRightLengthSetFieldsAndTheLastOneWins) {
    FrameMetadata m;
    apply_metadata_entry(m, 2, std::vector<uint8_t>{1, 0, 0, 0});
    apply_metadata_entry(m, 2, std::vector<uint8_t>{9, 9, 9});  // wrong length: skipped
    apply_metadata_entry(m, 16, u64_bytes(5));
    apply_metadata_entry(m, 16, std::vector<uint8_t>{1, 2, 3, 4});
    apply_metadata_entry(m, 4, std::vector<uint8_t>{7});
    apply_metadata_entry(m, 3, std::vector<uint8_t>{0, 0, 0, 1});
    apply_metadata_entry(m, 1, std::vector<uint8_t>{'o', 'k'});
    apply_metadata_entry(m, 1234, std::vector<uint8_t>{1});
    EXPECT_EQ(m.aux_a, 1u);
    EXPECT_EQ(m.observable_flips, 5u);
    EXPECT_EQ(m.aux_byte, 7);
    EXPECT_EQ(m.aux_b, 0x01000000u);
    EXPECT_EQ(m.label, "ok");

    apply_metadata_entry(m, 1, std::vector<uint8_t>{0xC3, 0xA9});  // é
    EXPECT_EQ(m.label, "\xC3\xA9");
    apply_metadata_entry(m, 1, {});
    EXPECT_EQ(m.label, "");
    for (auto invalid : {std::vector<uint8_t>{0xFF}, std::vector<uint8_t>{0xC3}, std::vector<uint8_t>{0xC0, 0x80},
                         std::vector<uint8_t>{0xED, 0xA0, 0x80}}) {
        m.label = "before";
        apply_metadata_entry(m, 1, invalid);
        EXPECT_FALSE(m.label.has_value());
    }
}

TEST(FixedPayload, SizesFollowTheFlags) {
    FrameHeader h;
    h.ancilla_count = 9;
    EXPECT_EQ(fixed_payload_size(h, 4), 13u);
    h.flags = kFlagTimingOffsets | kFlagAncillaBitmap;
    EXPECT_EQ(fixed_payload_size(h, 4), 4u + 9 + 18 + 2);
    h.ancilla_count = 65535;
    EXPECT_EQ(fixed_payload_size(h, 65535), 270332u);
}

}  // namespace
}  // namespace veskar
