// The _veskar extension module: multi-phase initialisation with no module
// state and no module-level functions. The classes and the exception type
// are made once per process (see classes.hpp) and added to the module in a
// fixed order; the first failure becomes the import error.

#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

// PyModule_AddObjectRef keeps its own reference, so a failed add leaks nothing.
int add(PyObject* module, const char* name, PyObject* object) {
    if (object == nullptr) {
        return -1;
    }
    return PyModule_AddObjectRef(module, name, object);
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
    return add(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
    if (add_type(module, "SyndromeFrame", syndrome_frame_type()) < 0 ||
        add_type(module, "SyndromeWindow", syndrome_window_type()) < 0) {
        return -1;
    }
    if (add_type(module, "VeskarStream", veskar_stream_type()) < 0 ||
        add_type(module, "CodeType", code_type_type()) < 0 ||
        add_type(module, "DecoderResult", decoder_result_type()) < 0 ||
        add_type(module, "LogicalCorrection", logical_correction_type()) < 0) {
        return -1;
    }
    if (add_type(module, "DetectorErrorModel", detector_error_model_type()) < 0 ||
        add_type(module, "SpacetimeGraph", spacetime_graph_type()) < 0 ||
        add_type(module, "LogicalErrorAccumulator", logical_error_accumulator_type()) < 0) {
        return -1;
    }
    if (add(module, "VeskarError", veskar_error_type()) < 0) {
        return -1;
    }
    return PyModule_AddStringConstant(module, "__version__", VESKAR_VERSION);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // Everything shared between threads is guarded by atomics (the borrow
    // flags) or made once at import, so a free-threaded interpreter may load
    // the module without turning its lock back on.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_veskar", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace veskar::py

PyMODINIT_FUNC PyInit__veskar(void) {
    return PyModuleDef_Init(&veskar::py::module_def);
}
