#include "veskar/core/error.hpp"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "veskar/core/overloaded.hpp"

namespace veskar {

namespace {

std::string hex8(uint32_t value) {
    char buffer[11];
    std::snprintf(buffer, sizeof(buffer), "0x%08x", value);
    return buffer;
}

std::string hex2(uint8_t value) {
    char buffer[5];
    std::snprintf(buffer, sizeof(buffer), "0x%02x", value);
    return buffer;
}

}  // namespace

std::string message(const VeskarError& err) {
    using std::to_string;
    return std::visit(
        Overloaded{
            [](const error::InvalidMagic& e) {
                return "invalid TOLM magic bytes: expected 0x544F4C4D, got " + hex8(e.found);
            },
            [](const error::UnsupportedVersion& e) {
                return "unsupported TOLM format version: " + to_string(e.version);
            },
            [](const error::UnknownCodeType& e) { return "unknown code type discriminant: " + hex2(e.value); },
            [](const error::SchemaNotFound& e) { return "schema not found for id " + format_uuid(e.schema_id); },
            [](const error::CrcMismatch& e) {
                return "CRC32 mismatch: expected " + hex8(e.expected) + ", got " + hex8(e.got);
            },
            [](const error::ParityViolation& e) {
                return "parity violation in frame " + to_string(e.frame_id) + " at stabilizer index " +
                       to_string(e.stabilizer_index);
            },
            [](const error::TimingOutOfBounds& e) {
                return "timing offset out of bounds: ancilla " + to_string(e.ancilla) + ", offset " +
                       to_string(e.offset_ns) + " ns";
            },
            [](const error::PayloadLengthMismatch& e) {
                return "payload length mismatch: header declares " + to_string(e.declared) + " bytes, found " +
                       to_string(e.found);
            },
            [](const error::FrameIdBackwards& e) {
                return "frame ID went backwards: last seen " + to_string(e.last_seen) + ", got " + to_string(e.got);
            },
            [](const error::SchemaMismatch& e) {
                return std::string("frame/schema mismatch on ") + e.field + ": schema expects " +
                       to_string(e.expected) + ", frame has " + to_string(e.actual);
            },
            [](const error::ChannelLagged&) { return std::string("broadcast channel lagged: frames were dropped"); },
            [](const error::Io& e) { return "i/o error: " + e.text; },
            [](const error::Json& e) { return "json schema error: " + e.text; },
        },
        err);
}

VeskarError io_error_from_errno(int code) {
    return error::Io{code, std::generic_category().message(code)};
}

}  // namespace veskar
