// The _veskar extension module: multi-phase initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

int veskar_exec(PyObject* module) {
    return PyModule_AddStringConstant(module, "__version__", "0.1.0");
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(veskar_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_veskar",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__veskar(void) {
    return PyModuleDef_Init(&module_def);
}
