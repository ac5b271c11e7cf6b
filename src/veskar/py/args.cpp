#include "veskar/py/args.hpp"

#include <string>

namespace veskar::py {

namespace {

bool wrong_type(PyObject* value, Argument argument, const char* expected) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", argument.function, argument.name,
                 expected, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace

PyObject* one_argument(Argument argument, PyObject* args, PyObject* kwargs) {
    const char* keywords[] = {argument.name, nullptr};
    const std::string format = std::string("O:") + argument.function;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &value)) {
        return nullptr;
    }
    return value;
}

bool unsigned_value(PyObject* value, Argument argument, uint64_t max, uint64_t& out) {
    if (!PyIndex_Check(value)) {
        return wrong_type(value, argument, "int");
    }
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) {
        return false;
    }
    // Signed first, so that a negative value is told apart from one past
    // 64 bits without a comparison in Python.
    int overflow = 0;
    const long long as_signed = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (as_signed == -1 && overflow == 0 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && as_signed < 0)) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' must not be negative", argument.function, argument.name);
        return false;
    }
    bool fits = true;
    uint64_t converted = static_cast<uint64_t>(as_signed);
    if (overflow > 0) {
        const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
        fits = !(wide == static_cast<unsigned long long>(-1) && PyErr_Occurred());
        PyErr_Clear();  // past 64 bits: reported below like any value past max
        converted = wide;
    }
    if (!fits || converted > max) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' is too big (at most %llu)", argument.function,
                     argument.name, static_cast<unsigned long long>(max));
        return false;
    }
    out = converted;
    return true;
}

bool float_argument(PyObject* value, Argument argument, double& out) {
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            wrong_type(value, argument, "float");
        }
        return false;
    }
    out = converted;
    return true;
}

std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &length);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string_view(data, static_cast<size_t>(length));
}

std::optional<std::string_view> text_argument(PyObject* value, Argument argument) {
    if (!PyUnicode_Check(value)) {
        wrong_type(value, argument, "str");
        return std::nullopt;
    }
    return utf8_of(value);
}

Ref fspath_of(PyObject* object, bool& has_fspath) {
    has_fspath = true;
    Ref method = Ref::steal(PyObject_GetAttrString(object, "__fspath__"));
    if (!method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            has_fspath = false;
        }
        return {};
    }
    Ref path = Ref::steal(PyObject_CallNoArgs(method.get()));
    if (path && !PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError, "expected %.200s.__fspath__() to return str, not %.200s",
                     Py_TYPE(object)->tp_name, Py_TYPE(path.get())->tp_name);
        return {};
    }
    return path;
}

Ref path_argument(PyObject* value, Argument argument) {
    if (PyUnicode_Check(value)) {
        return Ref::borrow(value);
    }
    bool has_fspath = false;
    Ref path = fspath_of(value, has_fspath);
    if (!has_fspath) {
        wrong_type(value, argument, "str or os.PathLike");
    }
    return path;
}

bool fast_arguments(const char* function, std::span<const char* const> names, size_t positional, size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto given = static_cast<size_t>(nargs);
    if (given > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zu given)", function, positional,
                     positional == 1 ? "" : "s", given);
        return false;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        out[i] = i < given ? args[i] : nullptr;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t i = 0;
        while (i < names.size() && PyUnicode_CompareWithASCIIString(keyword, names[i]) != 0) {
            ++i;
        }
        if (i == names.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
            return false;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (size_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function, names[i], i + 1);
            return false;
        }
    }
    return true;
}

bool flag_argument(PyObject* value, bool fallback, bool& out) {
    if (value == nullptr) {
        out = fallback;
        return true;
    }
    const int truth = PyObject_IsTrue(value);
    out = truth > 0;
    return truth >= 0;
}

}  // namespace veskar::py
