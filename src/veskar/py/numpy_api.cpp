#define VESKAR_NUMPY_API_DEFINITION
#include "veskar/py/numpy_api.hpp"

#include <atomic>
#include <cstring>

namespace veskar::py {

namespace {

// Importing twice is harmless (the second import finds the same table), so a
// race between two threads of a free-threaded interpreter costs nothing.
std::atomic<bool> numpy_loaded{false};

PyObject* new_byte_array(const void* data, size_t size, int type_number) {
    if (!ensure_numpy()) {
        return nullptr;
    }
    npy_intp length = static_cast<npy_intp>(size);
    Ref array = Ref::steal(PyArray_SimpleNew(1, &length, type_number));
    if (!array) {
        return nullptr;
    }
    if (size != 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), data, size);
    }
    return array.release();
}

}  // namespace

bool ensure_numpy() {
    if (numpy_loaded.load(std::memory_order_acquire)) {
        return true;
    }
    if (_import_array() < 0) {
        return false;
    }
    numpy_loaded.store(true, std::memory_order_release);
    return true;
}

PyObject* new_bool_array(std::span<const uint8_t> values) {
    return new_byte_array(values.data(), values.size(), NPY_BOOL);
}

PyObject* new_int8_array(std::span<const int8_t> values) {
    return new_byte_array(values.data(), values.size(), NPY_INT8);
}

}  // namespace veskar::py
