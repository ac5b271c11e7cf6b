// DecoderResult: the outcome of decoding, and the only one of the value
// classes Python code can construct.

#include <cstdio>

#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

struct ResultObject {
    PyObject_HEAD
    DecoderResultValue state;
};

const DecoderResultValue& state_of(PyObject* self) {
    return as<ResultObject>(self)->state;
}

PyObject* alloc(PyTypeObject* type, DecoderResultValue&& value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    construct_state(as<ResultObject>(self), std::move(value));
    return self;
}

// The argument conversions name the argument that failed, as the
// interpreter's own argument parsing does for keyword arguments.
PyObject* new_result(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observable_flips", "confidence", nullptr};
    PyObject* flips_arg = nullptr;
    PyObject* confidence_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:DecoderResult", const_cast<char**>(keywords), &flips_arg,
                                     &confidence_arg)) {
        return nullptr;
    }
    if (!PyLong_Check(flips_arg)) {
        PyErr_Format(PyExc_TypeError, "DecoderResult() argument 'observable_flips' must be int, not %.200s",
                     Py_TYPE(flips_arg)->tp_name);
        return nullptr;
    }
    // Raises OverflowError for negative values and values past 64 bits.
    unsigned long long flips = PyLong_AsUnsignedLongLong(flips_arg);
    if (flips == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    double confidence = 1.0;
    if (confidence_arg != nullptr) {
        confidence = PyFloat_AsDouble(confidence_arg);
        if (confidence == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "DecoderResult() argument 'confidence' must be float, not %.200s",
                             Py_TYPE(confidence_arg)->tp_name);
            }
            return nullptr;
        }
    }
    return alloc(type, DecoderResultValue{{}, confidence, flips});
}

PyObject* get_corrections(PyObject* self, void*) {
    const auto& corrections = state_of(self).corrections;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(corrections.size())));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; i < corrections.size(); ++i) {
        PyObject* item = logical_correction_new(corrections[i]);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* get_confidence(PyObject* self, void*) {
    return PyFloat_FromDouble(state_of(self).confidence);
}

PyObject* get_observable_flips(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(state_of(self).observable_flips);
}

PyObject* repr(PyObject* self) {
    const DecoderResultValue& result = state_of(self);
    char confidence[64];
    std::snprintf(confidence, sizeof(confidence), "%.4f", result.confidence);
    char bits[65];
    size_t length = 0;
    uint64_t flips = result.observable_flips;
    do {
        bits[length++] = static_cast<char>('0' + (flips & 1));
        flips >>= 1;
    } while (flips != 0);
    std::string binary(bits, length);
    binary.assign(binary.rbegin(), binary.rend());
    return PyUnicode_FromFormat("DecoderResult(corrections=%zu, confidence=%s, observable_flips=0b%s)",
                                result.corrections.size(), confidence, binary.c_str());
}

PyGetSetDef getset[] = {
    {"corrections", get_corrections, nullptr, nullptr, nullptr},
    {"confidence", get_confidence, nullptr, nullptr, nullptr},
    {"observable_flips", get_observable_flips, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_result)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_state<ResultObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("DecoderResult(observable_flips, confidence=1.0)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "_veskar.DecoderResult", sizeof(ResultObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
};

PyObject* result_type = nullptr;

}  // namespace

PyTypeObject* decoder_result_type() {
    return type_once(result_type, &spec);
}

PyObject* decoder_result_new(DecoderResultValue value) {
    PyTypeObject* type = decoder_result_type();
    return type == nullptr ? nullptr : alloc(type, std::move(value));
}

}  // namespace veskar::py
