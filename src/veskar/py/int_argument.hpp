#pragma once
// Unsigned integer arguments, converted the way the interpreter converts
// them for its own functions: anything with __index__ (NumPy integers
// included) is accepted, other types are a TypeError naming the argument,
// and values that do not fit are an OverflowError.

#include <cstdint>

#include "veskar/py/ref.hpp"

namespace veskar::py {

// Converts `value` into `out`, at most `max`. False with the exception set
// on failure; `function` and `argument` name the call in the TypeError.
inline bool unsigned_argument(PyObject* value, const char* function, const char* argument, uint64_t max,
                              uint64_t& out) {
    Ref index;
    if (!PyLong_Check(value)) {
        if (!PyIndex_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", function, argument,
                         Py_TYPE(value)->tp_name);
            return false;
        }
        index = Ref::steal(PyNumber_Index(value));
        if (!index) {
            return false;
        }
        value = index.get();
    }
    // Raises OverflowError itself for negative values and values past 64 bits.
    const unsigned long long converted = PyLong_AsUnsignedLongLong(value);
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    if (converted > max) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' is too large (at most %llu)", function, argument,
                     static_cast<unsigned long long>(max));
        return false;
    }
    out = converted;
    return true;
}

}  // namespace veskar::py
