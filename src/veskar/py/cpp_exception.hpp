#pragma once
// C++ failures (out of memory while expanding a large model, say) must not
// cross into the interpreter: a function that calls into C++ code that may
// throw catches everything and turns it into a Python exception here.

#include <exception>
#include <new>

#include "veskar/py/ref.hpp"

namespace veskar::py {

// Call only inside a catch block: rethrows the exception being handled and
// sets the matching Python exception. Always returns null.
inline PyObject* raise_cpp_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& err) {
        return raise(PyExc_RuntimeError, err.what());
    } catch (...) {
        return raise(PyExc_RuntimeError, "unexpected C++ exception");
    }
}

}  // namespace veskar::py
