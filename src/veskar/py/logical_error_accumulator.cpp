// LogicalErrorAccumulator: per-observable logical error rates over many
// shots. Its counters are atomic, so every method is a shared access and no
// call is ever refused for a concurrent use of the same object.

#include "veskar/metrics/logical_error_accumulator.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "veskar/py/args.hpp"
#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

LogicalErrorAccumulator& state_of(PyObject* self) {
    return object_state<LogicalErrorAccumulator>(self);
}

PyObject* new_accumulator(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observable_count", nullptr};
    PyObject* count_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LogicalErrorAccumulator", const_cast<char**>(keywords),
                                     &count_arg)) {
        return nullptr;
    }
    size_t count = 0;
    if (!unsigned_argument(count_arg, {"LogicalErrorAccumulator", "observable_count"}, count)) {
        return nullptr;
    }
    return new_object<LogicalErrorAccumulator>(type, count);
}

PyObject* record(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"result", "ground_truth", nullptr};
    PyObject* result = nullptr;
    PyObject* truth_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:record", const_cast<char**>(keywords), &result, &truth_arg)) {
        return nullptr;
    }
    const DecoderResultValue* value = module_state(self).decoder_result.state_if_instance(result);
    if (value == nullptr) {
        PyErr_Format(PyExc_TypeError, "record() argument 'result' must be DecoderResult, not %.200s",
                     Py_TYPE(result)->tp_name);
        return nullptr;
    }
    uint64_t truth = 0;
    if (!unsigned_argument(truth_arg, {"record", "ground_truth"}, truth)) {
        return nullptr;
    }
    state_of(self).record(value->observable_flips, truth);
    Py_RETURN_NONE;
}

PyObject* logical_error_rate(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observable", nullptr};
    PyObject* observable_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:logical_error_rate", const_cast<char**>(keywords),
                                     &observable_arg)) {
        return nullptr;
    }
    size_t observable = 0;
    if (!unsigned_argument(observable_arg, {"logical_error_rate", "observable"}, observable)) {
        return nullptr;
    }
    return PyFloat_FromDouble(state_of(self).logical_error_rate(observable));
}

PyObject* mean_logical_error_rate(PyObject* self, PyObject*) {
    return PyFloat_FromDouble(state_of(self).mean_logical_error_rate());
}

PyObject* total_shots(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(state_of(self).total_shots());
}

PyObject* reset(PyObject* self, PyObject*) {
    state_of(self).reset();
    Py_RETURN_NONE;
}

// Pickled as its observable count and its counts: a new accumulator with
// the counts added back (__setstate__).
PyObject* reduce(PyObject* self, PyObject*) {
    const LogicalErrorAccumulator& accumulator = state_of(self);
    Ref errors = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(accumulator.observable_count())));
    if (!errors) {
        return nullptr;
    }
    for (size_t k = 0; k < accumulator.observable_count(); ++k) {
        PyObject* count = PyLong_FromUnsignedLongLong(accumulator.error_count(k));
        if (count == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(k), count);
    }
    return Py_BuildValue("(O(n)(KO))", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         static_cast<Py_ssize_t>(accumulator.observable_count()),
                         static_cast<unsigned long long>(accumulator.total_shots()), errors.get());
}

// The state __reduce__ gives: (shots, (errors of observable 0, 1, ...)),
// replacing the counts.
PyObject* setstate(PyObject* self, PyObject* state) {
    constexpr Argument kState = {"__setstate__", "state"};
    PyObject* shots_arg = nullptr;
    PyObject* errors_arg = nullptr;
    if (!PyArg_ParseTuple(state, "OO!:__setstate__", &shots_arg, &PyTuple_Type, &errors_arg)) {
        return nullptr;
    }
    uint64_t shots = 0;
    if (!unsigned_argument(shots_arg, kState, shots)) {
        return nullptr;
    }
    std::vector<uint64_t> errors(static_cast<size_t>(PyTuple_GET_SIZE(errors_arg)));
    for (size_t k = 0; k < errors.size(); ++k) {
        if (!unsigned_argument(PyTuple_GET_ITEM(errors_arg, static_cast<Py_ssize_t>(k)), kState, errors[k])) {
            return nullptr;
        }
    }
    LogicalErrorAccumulator& accumulator = state_of(self);
    accumulator.reset();
    accumulator.add_counts(shots, errors);
    Py_RETURN_NONE;
}

// Four digits after the point, then the exponent with no plus sign and no
// leading zeros: 0.25 reads 2.5000e-1, zero reads 0.0000e0.
std::string scientific(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.4e", value);
    std::string out(text);
    size_t e = out.find('e');
    if (e == std::string::npos) {
        return out;  // inf or nan
    }
    long exponent = std::strtol(out.c_str() + e + 1, nullptr, 10);
    out.resize(e + 1);
    out += std::to_string(exponent);
    return out;
}

PyObject* repr(PyObject* self) {
    const LogicalErrorAccumulator& accumulator = state_of(self);
    std::string text = "LogicalErrorAccumulator(shots=" + std::to_string(accumulator.total_shots()) +
                       ", mean_p_L=" + scientific(accumulator.mean_logical_error_rate()) + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyMethodDef methods[] = {
    {"record", as_method(record), METH_VARARGS | METH_KEYWORDS, "record($self, result, ground_truth)\n--\n\n"},
    {"logical_error_rate", as_method(logical_error_rate), METH_VARARGS | METH_KEYWORDS,
     "logical_error_rate($self, observable)\n--\n\n"},
    {"mean_logical_error_rate", mean_logical_error_rate, METH_NOARGS, "mean_logical_error_rate($self)\n--\n\n"},
    {"total_shots", total_shots, METH_NOARGS, "total_shots($self)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_accumulator)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<LogicalErrorAccumulator>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("LogicalErrorAccumulator(observable_count)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyType_Spec logical_error_accumulator_spec = {
    "_veskar.LogicalErrorAccumulator",
    sizeof(Object<LogicalErrorAccumulator>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace veskar::py
