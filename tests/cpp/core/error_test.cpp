#include "veskar/core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

#include "veskar/core/code.hpp"

namespace veskar {
namespace {

struct MessageCase {
    VeskarError error;
    std::string text;
};

class ErrorMessage : public testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessage, DisplaysExactText) {
    EXPECT_EQ(message(GetParam().error), GetParam().text);
}

SchemaId sequential_id() {
    SchemaId id{};
    for (uint8_t i = 0; i < 16; ++i) id[i] = i;
    return id;
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariant, ErrorMessage,
    testing::Values(
        MessageCase{error::InvalidMagic{0x12}, "invalid TOLM magic bytes: expected 0x544F4C4D, got 0x00000012"},
        MessageCase{error::InvalidMagic{0xDEADBEEF}, "invalid TOLM magic bytes: expected 0x544F4C4D, got 0xdeadbeef"},
        MessageCase{error::UnsupportedVersion{2}, "unsupported TOLM format version: 2"},
        MessageCase{error::UnknownCodeType{0x09}, "unknown code type discriminant: 0x09"},
        MessageCase{error::UnknownCodeType{0x00}, "unknown code type discriminant: 0x00"},
        MessageCase{error::UnknownCodeType{0xFE}, "unknown code type discriminant: 0xfe"},
        MessageCase{error::SchemaNotFound{sequential_id()},
                    "schema not found for id 00010203-0405-0607-0809-0a0b0c0d0e0f"},
        MessageCase{error::CrcMismatch{0xCBF43926, 0x1}, "CRC32 mismatch: expected 0xcbf43926, got 0x00000001"},
        MessageCase{error::ParityViolation{18446744073709551615ULL, 3},
                    "parity violation in frame 18446744073709551615 at stabilizer index 3"},
        MessageCase{error::TimingOutOfBounds{1, 10001}, "timing offset out of bounds: ancilla 1, offset 10001 ns"},
        MessageCase{error::PayloadLengthMismatch{36, 35},
                    "payload length mismatch: header declares 36 bytes, found 35"},
        MessageCase{error::FrameIdBackwards{7, 7}, "frame ID went backwards: last seen 7, got 7"},
        MessageCase{error::SchemaMismatch{"ancilla_count", 17, 16},
                    "frame/schema mismatch on ancilla_count: schema expects 17, frame has 16"},
        MessageCase{error::ChannelLagged{}, "broadcast channel lagged: frames were dropped"},
        MessageCase{error::Io{ENOENT, "No such file or directory"}, "i/o error: No such file or directory"},
        MessageCase{error::Json{"expected value"}, "json schema error: expected value"}));

TEST(IoError, CarriesTheSystemText) {
    VeskarError err = io_error_from_errno(ENOENT);
    ASSERT_TRUE(holds<error::Io>(err));
    EXPECT_EQ(std::get<error::Io>(err).code, ENOENT);
    EXPECT_EQ(message(err), "i/o error: " + std::generic_category().message(ENOENT));
}

TEST(CodeTypeByte, AcceptsOnlyTheNineFamilies) {
    int accepted = 0;
    for (int byte = 0; byte < 256; ++byte) {
        auto code = code_type_from_byte(static_cast<uint8_t>(byte));
        if (code) {
            ++accepted;
            EXPECT_EQ(static_cast<int>(*code), byte);
        }
    }
    EXPECT_EQ(accepted, 9);
    EXPECT_EQ(code_type_name(CodeType::SurfaceCode), "SurfaceCode");
    EXPECT_EQ(code_type_name(CodeType::Custom), "Custom");
    EXPECT_FALSE(code_type_from_byte(0x00));
    EXPECT_FALSE(code_type_from_byte(0x09));
}

}  // namespace
}  // namespace veskar
