// DecoderResult: the outcome of decoding, and the only one of the value
// classes Python code can construct.

#include <cstdio>

#include "veskar/py/args.hpp"
#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

const DecoderResultValue& state_of(PyObject* self) {
    return object_state<DecoderResultValue>(self);
}

PyObject* new_result(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observable_flips", "confidence", nullptr};
    PyObject* flips_arg = nullptr;
    PyObject* confidence_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:DecoderResult", const_cast<char**>(keywords), &flips_arg,
                                     &confidence_arg)) {
        return nullptr;
    }
    DecoderResultValue value;
    if (!unsigned_argument(flips_arg, {"DecoderResult", "observable_flips"}, value.observable_flips)) {
        return nullptr;
    }
    if (confidence_arg != nullptr &&
        !float_argument(confidence_arg, {"DecoderResult", "confidence"}, value.confidence)) {
        return nullptr;
    }
    return new_object<DecoderResultValue>(type, std::move(value));
}

PyObject* get_corrections(PyObject* self, void*) {
    const auto& corrections = state_of(self).corrections;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(corrections.size())));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; i < corrections.size(); ++i) {
        PyObject* item = module_state(self).logical_correction.make(corrections[i]);
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

// Rebuilt by the constructor: no operation stores a correction, so the
// flips and the confidence are the whole value.
PyObject* reduce(PyObject* self, PyObject*) {
    const DecoderResultValue& result = state_of(self);
    return Py_BuildValue("(O(Kd))", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         static_cast<unsigned long long>(result.observable_flips), result.confidence);
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"corrections", get_corrections, nullptr, nullptr, nullptr},
    {"confidence", get_confidence, nullptr, nullptr, nullptr},
    {"observable_flips", get_observable_flips, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_result)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<DecoderResultValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("DecoderResult(observable_flips, confidence=1.0)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyType_Spec decoder_result_spec = {
    "_veskar.DecoderResult",
    sizeof(Object<DecoderResultValue>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace veskar::py
