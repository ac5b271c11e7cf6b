// LogicalCorrection: one logical correction inside a DecoderResult. Made only
// by the result's `corrections` attribute, never by Python code.

#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

struct CorrectionObject {
    PyObject_HEAD
    LogicalCorrectionValue state;
};

const LogicalCorrectionValue& state_of(PyObject* self) {
    return as<CorrectionObject>(self)->state;
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
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_state<CorrectionObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "_veskar.LogicalCorrection",
    sizeof(CorrectionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyObject* correction_type = nullptr;

}  // namespace

PyTypeObject* logical_correction_type() {
    return type_once(correction_type, &spec);
}

PyObject* logical_correction_new(LogicalCorrectionValue value) {
    PyTypeObject* type = logical_correction_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    construct_state(as<CorrectionObject>(self), std::move(value));
    return self;
}

}  // namespace veskar::py
