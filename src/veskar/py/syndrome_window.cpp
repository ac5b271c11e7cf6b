// SyndromeWindow: the core sliding window, for Python code that collects
// rounds itself (from frames or from another stack's NumPy arrays) and reads
// the detector matrix back. It has nothing to do with the window a stream
// keeps for its decoder.

#include <cstring>

#include "veskar/core/window.hpp"
#include "veskar/py/args.hpp"
#include "veskar/py/classes.hpp"
#include "veskar/py/errors.hpp"
#include "veskar/py/frame_source.hpp"
#include "veskar/py/numpy_api.hpp"

namespace veskar::py {

struct WindowState {
    explicit WindowState(SyndromeWindow&& made) : window(std::move(made)) {}

    BorrowFlag borrow;
    SyndromeWindow window;
};

namespace {

WindowState& state_of(PyObject* self) {
    return object_state<WindowState>(self);
}

PyObject* new_window(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"ancilla_count", "window_depth", nullptr};
    PyObject* ancilla_arg = nullptr;
    PyObject* depth_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:SyndromeWindow", const_cast<char**>(keywords), &ancilla_arg,
                                     &depth_arg)) {
        return nullptr;
    }
    uint64_t ancilla_count = 0;
    uint64_t window_depth = 0;
    if (!unsigned_argument(ancilla_arg, {"SyndromeWindow", "ancilla_count"}, ancilla_count) ||
        !unsigned_argument(depth_arg, {"SyndromeWindow", "window_depth"}, window_depth)) {
        return nullptr;
    }
    auto made = SyndromeWindow::create(ancilla_count, window_depth);
    if (!made) {
        return raise_error(made.error());
    }
    return new_object<WindowState>(type, std::move(*made));
}

// The rounds keep their own copies: the window must not change when the
// frame or array it came from does.
PyObject* push(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"frame", nullptr};
    PyObject* frame_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:push", const_cast<char**>(keywords), &frame_arg)) {
        return nullptr;
    }
    // Frames never change after they are made, so reading one needs no borrow.
    const OwnedFrame* frame = module_state(self).syndrome_frame.state_if_instance(frame_arg);
    if (frame == nullptr) {
        PyErr_Format(PyExc_TypeError, "push() argument 'frame' must be SyndromeFrame, not %.200s",
                     Py_TYPE(frame_arg)->tp_name);
        return nullptr;
    }
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.exclusive();
    if (!borrow) {
        return nullptr;
    }
    try {
        state.window.push_owned(OwnedSyndromeData{frame->detector_events, frame->meas_results, frame->frame_id,
                                                  frame->timestamp_ns, frame->round});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* push_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"detector_events", "frame_id", "round", nullptr};
    PyObject* events_arg = nullptr;
    PyObject* frame_id_arg = nullptr;
    PyObject* round_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:push_numpy", const_cast<char**>(keywords), &events_arg,
                                     &frame_id_arg, &round_arg)) {
        return nullptr;
    }
    if (!ensure_numpy()) {
        return nullptr;
    }
    if (!PyArray_Check(events_arg) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(events_arg)) != 1 ||
        PyArray_TYPE(reinterpret_cast<PyArrayObject*>(events_arg)) != NPY_BOOL) {
        PyErr_Format(PyExc_TypeError,
                     "push_numpy() argument 'detector_events' must be a 1-D NumPy array of dtype bool, not %.200s",
                     Py_TYPE(events_arg)->tp_name);
        return nullptr;
    }
    uint64_t frame_id = 0;
    uint32_t round = 0;
    if (!unsigned_argument(frame_id_arg, {"push_numpy", "frame_id"}, frame_id) ||
        !unsigned_argument(round_arg, {"push_numpy", "round"}, round)) {
        return nullptr;
    }
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.exclusive();
    if (!borrow) {
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(events_arg);
    try {
        OwnedSyndromeData data;
        data.frame_id = frame_id;
        data.round = round;
        // Element by element through the array's stride, so that a view
        // (every other element, reversed, a column of a matrix, a broadcast)
        // gives the values it shows rather than the bytes beneath it.
        const auto* first = static_cast<const char*>(PyArray_DATA(array));
        const npy_intp stride = PyArray_STRIDE(array, 0);
        const size_t length = static_cast<size_t>(PyArray_DIM(array, 0));
        data.detector_events.resize(length);
        // NumPy bools made through views of other dtypes may hold any
        // non-zero byte; the window counts only 1 as fired.
        for (size_t i = 0; i < length; ++i) {
            data.detector_events[i] = first[static_cast<npy_intp>(i) * stride] != 0;
        }
        state.window.push_owned(std::move(data));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* to_numpy_matrix(PyObject* self, PyObject*) {
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.shared();
    if (!borrow) {
        return nullptr;
    }
    if (!ensure_numpy()) {
        return nullptr;
    }
    const SyndromeWindow& window = state.window;
    npy_intp shape[2] = {static_cast<npy_intp>(window.size()), static_cast<npy_intp>(window.ancilla_count())};
    Ref array = Ref::steal(PyArray_SimpleNew(2, shape, NPY_BOOL));
    if (!array) {
        return nullptr;
    }
    const std::span<const uint8_t> matrix = window.matrix();
    if (static_cast<uint64_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(array.get()))) != matrix.size()) {
        return raise(PyExc_ValueError, "detector matrix does not match the window's shape");
    }
    if (!matrix.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), matrix.data(), matrix.size());
    }
    return array.release();
}

PyObject* active_detectors(PyObject* self, PyObject*) {
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.shared();
    if (!borrow) {
        return nullptr;
    }
    std::vector<uint32_t> active;
    try {
        state.window.active_detectors(active);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(active.size())));
    if (!list) {
        return nullptr;
    }
    for (size_t i = 0; i < active.size(); ++i) {
        PyObject* index = PyLong_FromUnsignedLong(active[i]);
        if (index == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), index);
    }
    return list.release();
}

PyObject* is_full(PyObject* self, PyObject*) {
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.shared();
    if (!borrow) {
        return nullptr;
    }
    return PyBool_FromLong(state.window.is_full());
}

PyObject* is_empty(PyObject* self, PyObject*) {
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.shared();
    if (!borrow) {
        return nullptr;
    }
    return PyBool_FromLong(state.window.empty());
}

Py_ssize_t length(PyObject* self) {
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.shared();
    if (!borrow) {
        return -1;
    }
    // At most window_depth rounds, each reserved up front: far below PY_SSIZE_T_MAX.
    return static_cast<Py_ssize_t>(state.window.size());
}

PyObject* repr(PyObject* self) {
    WindowState& state = state_of(self);
    BorrowFlag::Guard borrow = state.borrow.shared();
    if (!borrow) {
        return nullptr;
    }
    const SyndromeWindow& window = state.window;
    return PyUnicode_FromFormat("SyndromeWindow(rounds=%llu/%llu, ancillas=%llu)",
                                static_cast<unsigned long long>(window.size()),
                                static_cast<unsigned long long>(window.window_depth()),
                                static_cast<unsigned long long>(window.ancilla_count()));
}

PyMethodDef methods[] = {
    {"push", as_method(push), METH_VARARGS | METH_KEYWORDS,
     "push($self, frame)\n--\n\n"
     "Push a `SyndromeFrame` into the window, evicting the oldest if full."},
    {"push_numpy", as_method(push_numpy), METH_VARARGS | METH_KEYWORDS,
     "push_numpy($self, detector_events, frame_id, round)\n--\n\n"
     "Push detector events directly from a 1-D NumPy bool array."},
    {"to_numpy_matrix", to_numpy_matrix, METH_NOARGS,
     "to_numpy_matrix($self)\n--\n\n"
     "Detector matrix as a 2-D NumPy bool array of shape `(rounds, ancilla_count)`.\n\n"
     "Row 0 is the oldest round; row `len()-1` is the newest."},
    {"active_detectors", active_detectors, METH_NOARGS,
     "active_detectors($self)\n--\n\n"
     "Indices (into the flat detector matrix) of all fired detectors across all rounds."},
    {"is_full", is_full, METH_NOARGS, "is_full($self)\n--\n\n"},
    {"is_empty", is_empty, METH_NOARGS, "is_empty($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_window)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<WindowState>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_doc, const_cast<char*>("SyndromeWindow(ancilla_count, window_depth)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyType_Spec syndrome_window_spec = {
    "_veskar.SyndromeWindow", sizeof(Object<WindowState>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
};

}  // namespace veskar::py
