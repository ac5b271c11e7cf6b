#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "veskar/core/overloaded.hpp"
#include "veskar/core/uuid.hpp"

namespace veskar {

// The error of the core, reader and validation layers. Each variant carries
// its payload; `message` is the one place that turns one into text.
namespace error {

struct InvalidMagic {
    uint32_t found;
};
struct UnsupportedVersion {
    uint16_t version;
};
struct UnknownCodeType {
    uint8_t value;
};
struct SchemaNotFound {
    SchemaId schema_id;
};
// expected is what the reader computed, got is what the stream carried.
struct CrcMismatch {
    uint32_t expected;
    uint32_t got;
};
struct ParityViolation {
    uint64_t frame_id;
    uint64_t stabilizer_index;
};
struct TimingOutOfBounds {
    uint64_t ancilla;
    uint16_t offset_ns;
};
struct PayloadLengthMismatch {
    uint32_t declared;
    uint64_t found;
};
struct FrameIdBackwards {
    uint64_t last_seen;
    uint64_t got;
};
struct SchemaMismatch {
    const char* field;  // a static name: "ancilla_count", "qubit_count" or "code_type"
    uint32_t expected;
    uint32_t actual;
};
struct ChannelLagged {};
// An operating-system I/O error; `text` is the system's own description.
struct Io {
    int code;
    std::string text;
};
struct Json {
    std::string text;
};

}  // namespace error

using VeskarError =
    std::variant<error::InvalidMagic, error::UnsupportedVersion, error::UnknownCodeType, error::SchemaNotFound,
                 error::CrcMismatch, error::ParityViolation, error::TimingOutOfBounds, error::PayloadLengthMismatch,
                 error::FrameIdBackwards, error::SchemaMismatch, error::ChannelLagged, error::Io, error::Json>;

// The display text users see, also as Python exception messages.
std::string message(const VeskarError& err);

// An Io error for an errno value, with the system's text for it.
VeskarError io_error_from_errno(int code);

}  // namespace veskar
