// The _veskar extension module: multi-phase initialisation, no module-level
// functions, and a module state (module_state.hpp) that owns the classes and
// the exception type, so that every module object, in every interpreter,
// has its own. The exec step adds the contents in a fixed order; the first
// failure becomes the import error.

#include "veskar/py/classes.hpp"
#include "veskar/py/gil.hpp"
#include "veskar/py/module_state.hpp"

namespace veskar::py {

namespace {

ModuleState& state_of_module(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Makes the class from its spec, bound to `module` so that its methods find
// the module state, lets `finish` add to it, and publishes it under its
// short name.
template <typename State>
int add_class(PyObject* module, Class<State>& slot, PyType_Spec& spec, int (*finish)(PyTypeObject*) = nullptr) {
    Ref made = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!made) {
        return -1;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(made.get());
    if ((finish != nullptr && finish(type) < 0) || PyModule_AddType(module, type) < 0) {
        return -1;
    }
    slot.object = made.release();
    return 0;
}

int exec_module(PyObject* module) {
    ModuleState& state = state_of_module(module);
    if (add_class(module, state.syndrome_frame, syndrome_frame_spec, add_syndrome_frame_members) < 0 ||
        add_class(module, state.syndrome_window, syndrome_window_spec) < 0 ||
        add_class(module, state.veskar_stream, veskar_stream_spec) < 0 ||
        add_class(module, state.code_type, code_type_spec, add_code_type_members) < 0 ||
        add_class(module, state.decoder_result, decoder_result_spec) < 0 ||
        add_class(module, state.logical_correction, logical_correction_spec) < 0 ||
        add_class(module, state.detector_error_model, detector_error_model_spec, add_detector_error_model_members) <
            0 ||
        add_class(module, state.spacetime_graph, spacetime_graph_spec) < 0 ||
        add_class(module, state.logical_error_accumulator, logical_error_accumulator_spec) < 0 ||
        add_class(module, state.union_find_decoder, union_find_decoder_spec) < 0) {
        return -1;
    }
    // Named for the public package, like the exception types of msgspec._core.
    state.veskar_error = PyErr_NewException("veskar.VeskarError", PyExc_Exception, nullptr);
    if (state.veskar_error == nullptr || PyModule_AddObjectRef(module, "VeskarError", state.veskar_error) < 0) {
        return -1;
    }
    if (PyModule_AddStringConstant(module, "__version__", VESKAR_VERSION) < 0) {
        return -1;
    }
    // Streams wait without the interpreter lock; see gil.hpp for why the
    // interpreter's exit must be known before it begins.
    return watch_interpreter_exit();
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    for (PyObject** reference : state_of_module(module).references()) {
        Py_VISIT(*reference);
    }
    return 0;
}

int clear_module(PyObject* module) {
    for (PyObject** reference : state_of_module(module).references()) {
        Py_CLEAR(*reference);
    }
    return 0;
}

void free_module(void* module) {
    clear_module(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
// Sub-interpreters get modules of their own (module state above). Where
// the interpreter can be told (3.12 on), they are declared to share the
// main interpreter's lock: the NumPy API table is one per process, as
// NumPy's own is.
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // Everything shared between threads is guarded by atomics (the borrow
    // flags) or made once in exec, so a free-threaded interpreter may load
    // the module without turning its lock back on.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_veskar",       "",           sizeof(ModuleState), nullptr,
    module_slots,          traverse_module, clear_module, free_module,
};

}  // namespace veskar::py

PyMODINIT_FUNC PyInit__veskar(void) {
    return PyModuleDef_Init(&veskar::py::module_def);
}
