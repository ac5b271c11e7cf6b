// UnionFindDecoder: whole shots of a detector error model decoded from NumPy
// arrays, one at a time (decode) or many (decode_batch), with PyMatching's
// shapes and bit order. Both are the same batch call, decode with a single
// row, so they agree by construction.
//
// sinter starts its workers on batches of one shot, so the fixed cost of a
// call is kept small: vectorcall arguments, the caller's array read where
// it lies (any strides, no copy), one output array.

#include "veskar/decoder/shot_batch.hpp"
#include "veskar/py/args.hpp"
#include "veskar/py/classes.hpp"
#include "veskar/py/dem_input.hpp"
#include "veskar/py/numpy_api.hpp"

namespace veskar::py {

struct UnionFindDecoderState {
    UnionFindDecoderState(Ref model_object, ShotBatchDecoder decoder)
        : model(std::move(model_object)), batch(std::move(decoder)) {}

    // Every decode rewrites the decoder's working state: one at a time.
    BorrowFlag borrow;
    // The DetectorErrorModel the decoder was built from; a pickled decoder
    // is rebuilt from it (its answers for small syndromes are only a cache).
    Ref model;
    ShotBatchDecoder batch;
};

namespace {

UnionFindDecoderState& state_of(PyObject* self) {
    return object_state<UnionFindDecoderState>(self);
}

PyObject* new_decoder(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* dem = one_argument({"UnionFindDecoder", "dem"}, args, kwargs);
    if (dem == nullptr) {
        return nullptr;
    }
    Ref model = resolve_dem(module_state_of(type), dem);
    if (!model) {
        return nullptr;
    }
    std::optional<UnionFindDecoder> decoder = decoder_for(model_of(model.get()));
    if (!decoder) {
        return nullptr;
    }
    try {
        const auto observables = static_cast<uint32_t>(model_of(model.get()).observable_count);
        ShotBatchDecoder batch(std::move(*decoder), observables);
        return new_object<UnionFindDecoderState>(type, std::move(model), std::move(batch));
    } catch (...) {
        return raise_cpp_exception();
    }
}

void decoder_dealloc(PyObject* self) {
    dealloc_object<UnionFindDecoderState>(self);
}

// The array `value` stands for: an ndarray as it is, anything else (a list
// of bools or 0/1 ints) made one of uint8. A new reference, or null.
Ref array_of(PyObject* value) {
    if (PyArray_Check(value)) {
        return Ref::borrow(value);
    }
    return Ref::steal(PyArray_FROMANY(value, NPY_UINT8, 0, 0, NPY_ARRAY_DEFAULT));
}

PyArrayObject* as_array(const Ref& array) {
    return reinterpret_cast<PyArrayObject*>(array.get());
}

// What the rows of `argument` must be: checked before anything is read.
struct Expected {
    int ndim;
    const char* shape;  // the shape named in a message, e.g. "(num_shots, num_detectors)"
    bool packed;
};

bool check_array(PyArrayObject* array, Argument argument, const Expected& expected) {
    if (PyArray_NDIM(array) != expected.ndim) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must be a %d-D array of shape %s, not %d-D",
                     argument.function, argument.name, expected.ndim, expected.shape, PyArray_NDIM(array));
        return false;
    }
    const int type = PyArray_TYPE(array);
    if (expected.packed ? type != NPY_UINT8 : type != NPY_UINT8 && type != NPY_BOOL) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' must have dtype %s, not %s", argument.function,
                     argument.name, expected.packed ? "uint8 when bit-packed" : "bool or uint8",
                     PyArray_DESCR(array)->typeobj->tp_name);
        return false;
    }
    return true;
}

BitLayout layout(bool packed) {
    return packed ? BitLayout::kPacked : BitLayout::kBytes;
}

// Decodes every row of `shots` into `predictions`, holding the decoder
// exclusively; without the interpreter lock when `unlocked`. False with the
// exception set.
bool decode_rows(PyObject* self, const ShotRows& shots, const PredictionRows& predictions, bool unlocked) {
    UnionFindDecoderState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.exclusive();
    if (!borrow) {
        return false;
    }
    std::expected<void, ShotBatchError> decoded;
    if (unlocked) {
        WithoutGil released;
        decoded = state.batch.decode_batch(shots, predictions);
    } else {
        decoded = state.batch.decode_batch(shots, predictions);
    }
    if (!decoded) {
        raise(PyExc_ValueError, message(decoded.error()));
        return false;
    }
    return true;
}

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"syndrome", "bit_packed"};
    PyObject* given[2];
    bool packed = false;
    if (!fast_arguments("decode", kNames, 1, 1, args, nargs, kwnames, given) ||
        !flag_argument(given[1], false, packed) || !ensure_numpy()) {
        return nullptr;
    }
    Ref syndrome = array_of(given[0]);
    const Expected expected{1, packed ? "(ceil(num_detectors / 8),)" : "(num_detectors,)", packed};
    if (!syndrome || !check_array(as_array(syndrome), {"decode", "syndrome"}, expected)) {
        return nullptr;
    }
    const ShotBatchDecoder& batch = state_of(self).batch;
    const uint64_t width = row_columns(batch.num_detectors(), layout(packed));
    const auto entries = static_cast<uint64_t>(PyArray_DIM(as_array(syndrome), 0));
    if (entries != width) {
        PyErr_Format(PyExc_ValueError, "decode() argument 'syndrome' must have %s = %llu entries, not %llu",
                     packed ? "ceil(num_detectors / 8)" : "num_detectors", static_cast<unsigned long long>(width),
                     static_cast<unsigned long long>(entries));
        return nullptr;
    }
    npy_intp observables = batch.num_observables();
    Ref prediction = Ref::steal(PyArray_SimpleNew(1, &observables, NPY_UINT8));
    if (!prediction) {
        return nullptr;
    }
    const ShotRows shots{static_cast<const uint8_t*>(PyArray_DATA(as_array(syndrome))),
                         1,
                         entries,
                         0,
                         PyArray_STRIDE(as_array(syndrome), 0),
                         layout(packed)};
    const PredictionRows predictions{static_cast<uint8_t*>(PyArray_DATA(as_array(prediction))),
                                     1,
                                     static_cast<uint64_t>(observables),
                                     0,
                                     1,
                                     BitLayout::kBytes};
    // One shot costs less than giving up the interpreter lock and taking it back.
    return decode_rows(self, shots, predictions, false) ? prediction.release() : nullptr;
}

PyObject* decode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"shots", "bit_packed_shots", "bit_packed_predictions"};
    PyObject* given[3];
    bool packed_shots = false;
    bool packed_predictions = false;
    if (!fast_arguments("decode_batch", kNames, 1, 1, args, nargs, kwnames, given) ||
        !flag_argument(given[1], false, packed_shots) || !flag_argument(given[2], false, packed_predictions) ||
        !ensure_numpy()) {
        return nullptr;
    }
    Ref shots_array = array_of(given[0]);
    const Expected expected{2, packed_shots ? "(num_shots, ceil(num_detectors / 8))" : "(num_shots, num_detectors)",
                            packed_shots};
    if (!shots_array || !check_array(as_array(shots_array), {"decode_batch", "shots"}, expected)) {
        return nullptr;
    }
    PyArrayObject* array = as_array(shots_array);
    const ShotBatchDecoder& batch = state_of(self).batch;
    const ShotRows shots{static_cast<const uint8_t*>(PyArray_DATA(array)),
                         static_cast<uint64_t>(PyArray_DIM(array, 0)),
                         static_cast<uint64_t>(PyArray_DIM(array, 1)),
                         PyArray_STRIDE(array, 0),
                         PyArray_STRIDE(array, 1),
                         layout(packed_shots)};
    // The width is checked before the output is made, so that a wrong one
    // is reported as such however many rows there are.
    if (shots.columns != row_columns(batch.num_detectors(), shots.layout)) {
        return raise(PyExc_ValueError,
                     message(ShotBatchError{shot_batch_error::ShotWidth{
                         shots.columns, row_columns(batch.num_detectors(), shots.layout), shots.layout}}));
    }
    const uint64_t columns = row_columns(batch.num_observables(), layout(packed_predictions));
    npy_intp dims[2] = {static_cast<npy_intp>(shots.rows), static_cast<npy_intp>(columns)};
    Ref output = Ref::steal(PyArray_SimpleNew(2, dims, NPY_UINT8));
    if (!output) {
        return nullptr;
    }
    const PredictionRows predictions{static_cast<uint8_t*>(PyArray_DATA(as_array(output))),
                                     shots.rows,
                                     columns,
                                     static_cast<int64_t>(columns),
                                     1,
                                     layout(packed_predictions)};
    return decode_rows(self, shots, predictions, true) ? output.release() : nullptr;
}

PyObject* get_num_detectors(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).batch.num_detectors());
}

PyObject* get_num_observables(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(state_of(self).batch.num_observables());
}

// Rebuilt from its model, which pickles as DEM text.
PyObject* reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), state_of(self).model.get());
}

PyObject* repr(PyObject* self) {
    const ShotBatchDecoder& batch = state_of(self).batch;
    return PyUnicode_FromFormat("UnionFindDecoder(num_detectors=%u, num_observables=%u)",
                                static_cast<unsigned>(batch.num_detectors()),
                                static_cast<unsigned>(batch.num_observables()));
}

PyMethodDef methods[] = {
    {"decode", as_method(decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, syndrome, *, bit_packed=False)\n--\n\n"
     "Predicted observable flips of one shot, as a new 1-D uint8 array of\n"
     "`num_observables` entries, each 0 or 1.\n\n"
     "`syndrome` holds one detection event per detector (bool or uint8, any\n"
     "nonzero value a fired detector), or with `bit_packed=True`\n"
     "ceil(num_detectors / 8) uint8 bytes, detector k at bit k % 8 of byte\n"
     "k // 8 (`np.packbits(..., bitorder=\"little\")`)."},
    {"decode_batch", as_method(decode_batch), METH_FASTCALL | METH_KEYWORDS,
     "decode_batch($self, shots, *, bit_packed_shots=False, bit_packed_predictions=False)\n--\n\n"
     "Predicted observable flips of many shots, one row per shot.\n\n"
     "`shots` is a 2-D array of shape (num_shots, num_detectors), bool or\n"
     "uint8, or with `bit_packed_shots=True` uint8 of shape\n"
     "(num_shots, ceil(num_detectors / 8)) in little bit order; any strides.\n"
     "Returns a new C-contiguous uint8 array of shape (num_shots, num_observables),\n"
     "or (num_shots, ceil(num_observables / 8)) bit-packed likewise with\n"
     "`bit_packed_predictions=True`. The interpreter lock is released while\n"
     "the batch is decoded. A wrong shape or dtype is a ValueError."},
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"num_detectors", get_num_detectors, nullptr, "Detectors per shot: the model's detector count.", nullptr},
    {"num_observables", get_num_observables, nullptr, "Observable flips predicted per shot.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_decoder)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("UnionFindDecoder(dem)\n--\n\n"
                                  "A weighted Union-Find decoder for whole shots of a detector error model.\n\n"
                                  "`dem` is a file path (`str` or path object), DEM text, a\n"
                                  "`stim.DetectorErrorModel` or a `DetectorErrorModel`. Repeat blocks are\n"
                                  "expanded; each `^` component of an error is an edge (a chain of edges\n"
                                  "when it has more than two detectors).\n"
                                  "Picklable: a copy is rebuilt from the model.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec union_find_decoder_spec = {
    "_veskar.UnionFindDecoder",
    sizeof(Object<UnionFindDecoderState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace veskar::py
