// LogicalErrorAccumulator: per-observable logical error rates over many
// shots. Its counters are atomic, so every method is a shared access and no
// call is ever refused for a concurrent use of the same object.

#include "veskar/metrics/logical_error_accumulator.hpp"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "veskar/py/classes.hpp"
#include "veskar/py/cpp_exception.hpp"

namespace veskar::py {

namespace {

struct AccumulatorObject {
    PyObject_HEAD
    LogicalErrorAccumulator state;
};

LogicalErrorAccumulator& state_of(PyObject* self) {
    return as<AccumulatorObject>(self)->state;
}

// Gives the pending conversion error the argument's name, keeping its type:
// TypeError for a value that is no integer, OverflowError for one out of
// range.
void name_failed_argument(const char* function, const char* name, PyObject* value) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", function, name,
                     Py_TYPE(value)->tp_name);
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
        return;
    }
    PyObject* type_raw = nullptr;
    PyObject* error_raw = nullptr;
    PyObject* traceback_raw = nullptr;
    PyErr_Fetch(&type_raw, &error_raw, &traceback_raw);
    Ref type = Ref::steal(type_raw);
    Ref error = Ref::steal(error_raw);
    Ref traceback = Ref::steal(traceback_raw);
    Ref text = Ref::steal(error ? PyObject_Str(error.get()) : PyUnicode_FromString(""));
    if (!text) {
        return;
    }
    PyErr_Format(type.get(), "%s() argument '%s': %U", function, name, text.get());
}

// An integer argument read through __index__, so NumPy integers (the usual
// source of ground-truth masks) are accepted like Python ints.
template <typename T, typename Convert>
std::optional<T> integer_argument(const char* function, const char* name, PyObject* value, Convert convert) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (index) {
        T converted = convert(index.get());
        if (!(converted == static_cast<T>(-1) && PyErr_Occurred())) {
            return converted;
        }
    }
    name_failed_argument(function, name, value);
    return std::nullopt;
}

std::optional<size_t> size_argument(const char* function, const char* name, PyObject* value) {
    return integer_argument<size_t>(function, name, value, PyLong_AsSize_t);
}

std::optional<uint64_t> mask_argument(const char* function, const char* name, PyObject* value) {
    return integer_argument<unsigned long long>(function, name, value, PyLong_AsUnsignedLongLong);
}

PyObject* new_accumulator(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observable_count", nullptr};
    PyObject* count_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LogicalErrorAccumulator", const_cast<char**>(keywords),
                                     &count_arg)) {
        return nullptr;
    }
    auto count = size_argument("LogicalErrorAccumulator", "observable_count", count_arg);
    if (!count) {
        return nullptr;
    }
    // Built before the object is allocated, so a failure here leaves no
    // half-made object for the deallocator.
    std::optional<LogicalErrorAccumulator> accumulator;
    try {
        accumulator.emplace(*count);
    } catch (...) {
        return raise_cpp_exception();
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    construct_state(as<AccumulatorObject>(self), std::move(*accumulator));
    return self;
}

PyObject* record(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"result", "ground_truth", nullptr};
    PyObject* result = nullptr;
    PyObject* truth_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:record", const_cast<char**>(keywords), &result, &truth_arg)) {
        return nullptr;
    }
    PyTypeObject* result_type = decoder_result_type();
    if (result_type == nullptr) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(result, result_type)) {
        PyErr_Format(PyExc_TypeError, "record() argument 'result' must be DecoderResult, not %.200s",
                     Py_TYPE(result)->tp_name);
        return nullptr;
    }
    auto truth = mask_argument("record", "ground_truth", truth_arg);
    if (!truth) {
        return nullptr;
    }
    // DecoderResult cannot be subclassed, so the attribute is its own stored
    // mask and reading it cannot fail but for memory.
    Ref flips_object = Ref::steal(PyObject_GetAttrString(result, "observable_flips"));
    if (!flips_object) {
        return nullptr;
    }
    unsigned long long flips = PyLong_AsUnsignedLongLong(flips_object.get());
    if (flips == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return nullptr;
    }
    state_of(self).record(flips, *truth);
    Py_RETURN_NONE;
}

PyObject* logical_error_rate(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"observable", nullptr};
    PyObject* observable_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:logical_error_rate", const_cast<char**>(keywords),
                                     &observable_arg)) {
        return nullptr;
    }
    auto observable = size_argument("logical_error_rate", "observable", observable_arg);
    if (!observable) {
        return nullptr;
    }
    return PyFloat_FromDouble(state_of(self).logical_error_rate(*observable));
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

template <typename F>
PyCFunction keyword_function(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"record", keyword_function(record), METH_VARARGS | METH_KEYWORDS, "record($self, result, ground_truth)\n--\n\n"},
    {"logical_error_rate", keyword_function(logical_error_rate), METH_VARARGS | METH_KEYWORDS,
     "logical_error_rate($self, observable)\n--\n\n"},
    {"mean_logical_error_rate", mean_logical_error_rate, METH_NOARGS, "mean_logical_error_rate($self)\n--\n\n"},
    {"total_shots", total_shots, METH_NOARGS, "total_shots($self)\n--\n\n"},
    {"reset", reset, METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_accumulator)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_with_state<AccumulatorObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("LogicalErrorAccumulator(observable_count)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {
    "_veskar.LogicalErrorAccumulator",
    sizeof(AccumulatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyObject* accumulator_type = nullptr;

}  // namespace

PyTypeObject* logical_error_accumulator_type() {
    return type_once(accumulator_type, &spec);
}

}  // namespace veskar::py
