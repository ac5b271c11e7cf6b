// veskar.VeskarError: raised only for observable flips read from a frame that
// has none. Named for the public package, like the types of msgspec._core.

#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

PyObject* error_type = nullptr;

}  // namespace

PyObject* veskar_error_type() {
    if (error_type == nullptr) {
        error_type = PyErr_NewException("veskar.VeskarError", PyExc_Exception, nullptr);
    }
    return error_type;
}

}  // namespace veskar::py
