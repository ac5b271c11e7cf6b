#pragma once
// The classes of _veskar. Each is created once per process, at the first
// import, and kept for the life of the process, like the exception type;
// every accessor answers null with a Python exception set when creation
// failed. One file per class implements its accessor.

#include <memory>
#include <string>
#include <vector>

#include "veskar/core/window.hpp"
#include "veskar/py/frame_source.hpp"
#include "veskar/py/ref.hpp"

namespace veskar {
struct DetectorErrorModel;
struct SpacetimeGraph;
}  // namespace veskar

namespace veskar::py {

PyTypeObject* syndrome_frame_type();
PyTypeObject* syndrome_window_type();
PyTypeObject* veskar_stream_type();
PyTypeObject* code_type_type();
PyTypeObject* decoder_result_type();
PyTypeObject* logical_correction_type();
PyTypeObject* detector_error_model_type();
PyTypeObject* spacetime_graph_type();
PyTypeObject* logical_error_accumulator_type();

// veskar.VeskarError, base Exception.
PyObject* veskar_error_type();

// A new SyndromeFrame owning `frame`.
PyObject* syndrome_frame_new(OwnedFrame&& frame);

// The state of a SyndromeFrame object, for code that fills or inspects one.
OwnedFrame& syndrome_frame_state(PyObject* frame);

struct LogicalCorrectionValue {
    std::string pauli;
    uint8_t logical_id = 0;
};

struct DecoderResultValue {
    std::vector<LogicalCorrectionValue> corrections;
    double confidence = 1.0;
    uint64_t observable_flips = 0;
};

PyObject* decoder_result_new(DecoderResultValue value);
PyObject* logical_correction_new(LogicalCorrectionValue value);

// The model a DetectorErrorModel object holds, or null when `object` is not one.
const DetectorErrorModel* detector_error_model_of(PyObject* object);

// A new SpacetimeGraph sharing `graph` with its other owners.
PyObject* spacetime_graph_new(std::shared_ptr<const SpacetimeGraph> graph);

// Raises the exception a window that cannot be made stands for: ValueError
// for a depth of 0, OverflowError for a size past 32-bit flat indices,
// MemoryError when its storage cannot be reserved. Returns null.
PyObject* raise_window_error(const WindowError& err);

}  // namespace veskar::py
