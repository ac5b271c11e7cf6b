#pragma once
// The classes of _veskar: one file per class defines its type spec, which
// the module's exec step turns into a class owned by the module state
// (module_state.hpp), and the few value types other files build instances
// from.

#include <cstdint>
#include <string>
#include <vector>

#include "veskar/py/module_state.hpp"

namespace veskar::py {

extern PyType_Spec syndrome_frame_spec;
extern PyType_Spec syndrome_window_spec;
extern PyType_Spec veskar_stream_spec;
extern PyType_Spec code_type_spec;
extern PyType_Spec decoder_result_spec;
extern PyType_Spec logical_correction_spec;
extern PyType_Spec detector_error_model_spec;
extern PyType_Spec spacetime_graph_spec;
extern PyType_Spec logical_error_accumulator_spec;
extern PyType_Spec union_find_decoder_spec;

// Adds SyndromeFrame's static method _restore, which unpickles a frame.
int add_syndrome_frame_members(PyTypeObject* cls);

// Adds DetectorErrorModel's static methods (parse, from_file, _resolve).
int add_detector_error_model_members(PyTypeObject* cls);

// Adds CodeType's nine class attributes to the new class, before anyone can
// see it. 0, or -1 with the exception set.
int add_code_type_members(PyTypeObject* code_type);

struct LogicalCorrectionValue {
    std::string pauli;
    uint8_t logical_id = 0;
};

struct DecoderResultValue {
    std::vector<LogicalCorrectionValue> corrections;
    double confidence = 1.0;
    uint64_t observable_flips = 0;
};

}  // namespace veskar::py
