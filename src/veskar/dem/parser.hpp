#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "veskar/core/overloaded.hpp"

namespace veskar {

// One `^`-separated part of an error's suggested decomposition.
struct DemComponent {
    std::vector<uint32_t> detectors;  // detector offset applied
    std::vector<uint8_t> observables;
};

// One error mechanism. `detectors` and `observables` are the flat lists of all
// its D and L targets in written order; `components` splits them at `^`.
struct DemError {
    std::vector<uint32_t> detectors;
    std::vector<uint8_t> observables;
    double probability = 0.0;  // as written, unchecked
    std::vector<DemComponent> components;
};

using DetectorCoords = std::array<double, 3>;

struct DetectorDecl {
    std::optional<DetectorCoords> coords;
    uint32_t id = 0;
    uint8_t coord_count = 0;  // coordinates written (at most 3 kept); Stim puts time last
};

namespace parse_error {
struct InvalidProbability {
    std::string text;
};
struct MalformedTarget {
    std::string text;
};
struct UnterminatedRepeat {};
struct InvalidRepeatCount {
    std::string text;
};
struct MalformedDetectorCoords {
    std::string text;
};
// A line whose instruction the DEM format does not have; `line` counts from 1.
struct UnknownInstruction {
    std::string name;
    uint64_t line;
};
}  // namespace parse_error

using ParseError = std::variant<parse_error::InvalidProbability, parse_error::MalformedTarget,
                                parse_error::UnterminatedRepeat, parse_error::InvalidRepeatCount,
                                parse_error::MalformedDetectorCoords, parse_error::UnknownInstruction>;

std::string message(const ParseError& err);

struct DetectorErrorModel {
    std::vector<DemError> errors;         // repeat blocks expanded in place
    std::vector<DetectorDecl> detectors;  // first declaration of each id
    uint64_t detector_count = 0;          // 1 + largest detector index seen, or 0
    uint64_t observable_count = 0;        // 1 + largest observable index seen, or 0

    static std::expected<DetectorErrorModel, ParseError> parse(std::string_view text);
};

}  // namespace veskar
