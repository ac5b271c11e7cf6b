#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "veskar/dem/parser.hpp"

namespace veskar {

// Why an error of a model could not be decomposed into graph-like parts.
// `error` is its index in the model's errors, `text` the error written out.
namespace decompose_error {

// No split of a component into the model's own pairs and single detectors
// flips its observables.
struct NoSplit {
    size_t error;
    std::string text;
};
// A component has more detectors than a split is searched for.
struct TooManyDetectors {
    size_t error;
    std::string text;
    size_t detectors;
};

}  // namespace decompose_error

using DecomposeError = std::variant<decompose_error::NoSplit, decompose_error::TooManyDetectors>;

std::string message(const DecomposeError& err);

// Most detectors in one component that a split is searched for.
inline constexpr size_t kMaxDecomposedDetectors = 16;

// One error whose components were decomposed: every component with more
// than two detectors (a hyperedge) is replaced by its parts, the others are
// kept as they are. An error that could not be decomposed has no components.
struct ErrorDecomposition {
    size_t error;  // index in the model's errors
    std::vector<DemComponent> components;
};

struct Decomposition {
    std::vector<ErrorDecomposition> errors;  // the decomposed errors, in model order
    std::optional<DecomposeError> failure;   // the first error that could not be decomposed
};

// Decomposes the model's hyperedges as Stim's decompose_errors does: the
// detectors of a component with more than two of them are split into pairs
// and single detectors that the model's graph-like components (one or two
// detectors, from errors of usable probability) already have, each part
// taking the observables of such a component, so that the parts together
// flip the component's observables. A detector named twice in a component
// cancels out first. Errors whose probability lies outside (0, 1) make no
// edges and are left alone. Among several splits the likeliest wins: the
// one whose parts' own mechanisms are most probable together (the first
// found on a tie, each detector in increasing order paired with the lowest
// partner before it is taken alone).
Decomposition decompose_hyperedges(const DetectorErrorModel& model);

}  // namespace veskar
