#pragma once
// Argument conversion, the same for every method of the module: integers
// through __index__ (so NumPy integers count as integers), paths as a str or
// an os.PathLike. Every failure names the function and the argument; a value
// of the wrong type is a TypeError, an integer out of range an OverflowError.

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include "veskar/py/ref.hpp"

namespace veskar::py {

// Which argument of which call is converted, for the error messages:
// "push_numpy() argument 'round' ...".
struct Argument {
    const char* function;
    const char* name;
};

// The one argument of `argument.function`, by position or keyword, borrowed
// from the call; null with TypeError set when the call does not give it.
PyObject* one_argument(Argument argument, PyObject* args, PyObject* kwargs);

// An integer in 0..max, or false with the exception set.
bool unsigned_value(PyObject* value, Argument argument, uint64_t max, uint64_t& out);

template <std::unsigned_integral T>
bool unsigned_argument(PyObject* value, Argument argument, T& out) {
    uint64_t wide = 0;
    if (!unsigned_value(value, argument, std::numeric_limits<T>::max(), wide)) {
        return false;
    }
    out = static_cast<T>(wide);
    return true;
}

// A float, or anything that converts to one the way float() does.
bool float_argument(PyObject* value, Argument argument, double& out);

// A str argument as UTF-8, valid while `value` lives.
std::optional<std::string_view> text_argument(PyObject* value, Argument argument);

// The str of a path argument: a str as it is, an os.PathLike through its
// __fspath__(), which must give a str. Null with the exception set.
Ref path_argument(PyObject* value, Argument argument);

// What os.PathLike's protocol gives for `object`: the str its __fspath__()
// returns; null with `has_fspath` false and no exception set when the object
// has no __fspath__; null with the exception set when looking it up or
// calling it fails or it gives something other than a str.
Ref fspath_of(PyObject* object, bool& has_fspath);

// A str's UTF-8 text, valid while the str lives; nullopt with the exception
// set when it holds lone surrogates.
std::optional<std::string_view> utf8_of(PyObject* text);

// The arguments of a METH_FASTCALL | METH_KEYWORDS method, borrowed from the
// call: out[i] is the argument named names[i], or null when not given. The
// first `positional` names may be given by position, every name by keyword;
// the first `required` must be given. False with TypeError set, worded as
// the interpreter words its own, when the call does not fit.
bool fast_arguments(const char* function, std::span<const char* const> names, size_t positional, size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// A yes/no keyword argument by its truth value; `fallback` when not given.
bool flag_argument(PyObject* value, bool fallback, bool& out);

}  // namespace veskar::py
