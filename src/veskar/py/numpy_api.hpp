#pragma once
// NumPy's C API, imported the first time an array is made or read rather than
// at import of _veskar, so that streaming frames never pays for NumPy.
//
// A file that calls the raw array API includes this header and calls
// ensure_numpy() first; the function table itself is defined once, in
// numpy_api.cpp.

#include <cstdint>
#include <span>

#include "veskar/py/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL veskar_ARRAY_API
#ifndef VESKAR_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace veskar::py {

// Loads the API table on first use; false with the import error set when
// NumPy cannot be imported.
bool ensure_numpy();

// New writeable 1-D arrays holding copies of the bytes.
PyObject* new_bool_array(std::span<const uint8_t> values);  // each value 0 or 1
PyObject* new_int8_array(std::span<const int8_t> values);

}  // namespace veskar::py
