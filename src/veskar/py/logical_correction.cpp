// LogicalCorrection: one logical correction inside a DecoderResult. Made only
// by the result's `corrections` attribute, never by Python code.

#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

const LogicalCorrectionValue& state_of(PyObject* self) {
    return object_state<LogicalCorrectionValue>(self);
}

PyObject* get_logical_id(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).logical_id);
}

PyObject* get_pauli(PyObject* self, void*) {
    const std::string& pauli = state_of(self).pauli;
    return PyUnicode_FromStringAndSize(pauli.data(), static_cast<Py_ssize_t>(pauli.size()));
}

PyObject* repr(PyObject* self) {
    const LogicalCorrectionValue& correction = state_of(self);
    return PyUnicode_FromFormat("LogicalCorrection(logical_id=%u, pauli=%s)",
                                static_cast<unsigned>(correction.logical_id), correction.pauli.c_str());
}

PyGetSetDef getset[] = {
    {"logical_id", get_logical_id, nullptr, nullptr, nullptr},
    {"pauli", get_pauli, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<LogicalCorrectionValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec logical_correction_spec = {
    "_veskar.LogicalCorrection",
    sizeof(Object<LogicalCorrectionValue>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace veskar::py
