#pragma once
// What one _veskar module object owns: its classes and its exception type.
// Each module object made from the extension (each interpreter's import, or
// a second load through importlib) gets its own, so no Python object is
// shared between interpreters and all of it goes when the module does.
// Code that needs a class finds the state through the class of the object
// at hand, which the module made.

#include <array>
#include <memory>

#include "veskar/py/ref.hpp"

namespace veskar {
enum class CodeType : uint8_t;
struct DetectorErrorModel;
struct SpacetimeGraph;
class LogicalErrorAccumulator;
}  // namespace veskar

namespace veskar::py {

struct OwnedFrame;
struct WindowState;
struct StreamState;
struct DecoderResultValue;
struct LogicalCorrectionValue;
struct UnionFindDecoderState;

struct ModuleState {
    Class<OwnedFrame> syndrome_frame;
    Class<WindowState> syndrome_window;
    Class<StreamState> veskar_stream;
    Class<CodeType> code_type;
    Class<DecoderResultValue> decoder_result;
    Class<LogicalCorrectionValue> logical_correction;
    Class<DetectorErrorModel> detector_error_model;
    Class<std::shared_ptr<const SpacetimeGraph>> spacetime_graph;
    Class<LogicalErrorAccumulator> logical_error_accumulator;
    Class<UnionFindDecoderState> union_find_decoder;
    PyObject* veskar_error = nullptr;  // veskar.VeskarError

    // Every reference the state holds, for the module's traverse and clear.
    std::array<PyObject**, 11> references() {
        return {&syndrome_frame.object,
                &syndrome_window.object,
                &veskar_stream.object,
                &code_type.object,
                &decoder_result.object,
                &logical_correction.object,
                &detector_error_model.object,
                &spacetime_graph.object,
                &logical_error_accumulator.object,
                &union_find_decoder.object,
                &veskar_error};
    }
};

extern PyModuleDef module_def;

// The state of the module that made `cls`, one of its classes. None of them
// can be subclassed, so the class of an instance is always the defining
// class, found at the first step of the lookup.
inline ModuleState& module_state_of(PyTypeObject* cls) {
    return *static_cast<ModuleState*>(PyModule_GetState(PyType_GetModuleByDef(cls, &module_def)));
}

// The state of the module that made the class of `self`.
inline ModuleState& module_state(PyObject* self) {
    return module_state_of(Py_TYPE(self));
}

}  // namespace veskar::py
