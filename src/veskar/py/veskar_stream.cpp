// VeskarStream: the iterator that reads syndrome frames from a file or a TCP
// peer into Python, one SyndromeFrame per __next__. Its state and the steps
// of reading and decoding are in stream_state.hpp.

#include "veskar/py/args.hpp"
#include "veskar/py/classes.hpp"
#include "veskar/py/dem_input.hpp"
#include "veskar/py/errors.hpp"
#include "veskar/py/stream_state.hpp"

namespace veskar::py {

namespace {

StreamState& state_of(PyObject* self) {
    return object_state<StreamState>(self);
}

// A str is a source text ("tcp://host:port", or a file path); a path object
// always names a file.
PyObject* new_stream(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", nullptr};
    PyObject* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:VeskarStream", const_cast<char**>(keywords), &source)) {
        return nullptr;
    }
    const bool is_text = PyUnicode_Check(source);
    Ref text = is_text ? Ref::borrow(source) : path_argument(source, {"VeskarStream", "source"});
    std::optional<std::string_view> utf8 = text ? utf8_of(text.get()) : std::nullopt;
    if (!utf8) {
        return nullptr;
    }
    try {
        InterruptibleSleeper sleeper;
        auto opened = is_text ? open_source(*utf8, sleeper) : open_file_source(std::string(*utf8), sleeper);
        if (!opened) {
            return raise_error(opened.error(), text.get());
        }
        PyObject* self = new_object<StreamState>(type);
        if (self == nullptr) {
            return nullptr;  // `opened` shuts its runtime down on the way out
        }
        StreamState& stream = state_of(self);
        stream.module = &module_state_of(type);
        stream.runtime = std::move(opened->runtime);
        stream.source = std::move(opened->source);
        return self;
    } catch (...) {
        return raise_cpp_exception();
    }
}

void stream_dealloc(PyObject* self) {
    close_state(state_of(self));
    dealloc_object<StreamState>(self);
}

PyObject* stream_next(PyObject* self) {
    StreamState& stream = state_of(self);
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow) {
        return nullptr;
    }
    try {
        OwnedFrame frame;
        if (read_frame(stream, frame) != ReadOutcome::Frame || !decode_step(stream, frame)) {
            return nullptr;  // at the end no exception is set: iteration ends, the stream stays open
        }
        borrow.reset();
        return stream.module->syndrome_frame.make(std::move(frame));
    } catch (...) {
        return raise_cpp_exception();
    }
}

// set_decoder: everything is built before anything is replaced, so a DEM
// that fails leaves the stream exactly as it was, earlier decoder included.
PyObject* set_decoder(PyObject* self, PyObject* args, PyObject* kwargs) {
    StreamState& stream = state_of(self);
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow) {
        return nullptr;
    }
    static const char* keywords[] = {"dem", "window_depth", nullptr};
    PyObject* dem = nullptr;
    PyObject* depth_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:set_decoder", const_cast<char**>(keywords), &dem, &depth_arg)) {
        return nullptr;
    }
    uint64_t window_depth = 0;
    if (depth_arg != nullptr && !unsigned_argument(depth_arg, {"set_decoder", "window_depth"}, window_depth)) {
        return nullptr;
    }
    Ref model = resolve_dem(*stream.module, dem);
    if (!model) {
        return nullptr;
    }
    std::optional<UnionFindDecoder> decoder = decoder_for(model_of(model.get()));
    if (!decoder) {
        return nullptr;
    }
    stream.decoder = std::move(decoder);
    stream.detector_count = model_of(model.get()).detector_count;
    stream.window_depth = window_depth;
    stream.window.reset();
    Py_RETURN_NONE;
}

PyObject* stream_iter(PyObject* self) {
    BorrowFlag::Guard borrow = state_of(self).borrow.shared();
    if (!borrow) {
        return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* enter_method(PyObject* self, PyObject*) {
    return stream_iter(self);
}

// close() and __exit__: the exclusive borrow, then the source and the runtime go.
bool close_borrowed(PyObject* self) {
    StreamState& stream = state_of(self);
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow) {
        return false;
    }
    close_state(stream);
    return true;
}

PyObject* close_method(PyObject* self, PyObject*) {
    if (!close_borrowed(self)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* exit_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"_exc_type", "_exc_val", "_tb", nullptr};
    PyObject* exc_type = nullptr;
    PyObject* exc_val = nullptr;
    PyObject* tb = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", const_cast<char**>(keywords), &exc_type, &exc_val,
                                     &tb)) {
        return nullptr;
    }
    if (!close_borrowed(self)) {
        return nullptr;
    }
    Py_RETURN_FALSE;  // never swallows the exception that left the block
}

PyMethodDef methods[] = {
    {"__enter__", enter_method, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(exit_method), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _tb)\n--\n\n"},
    {"close", close_method, METH_NOARGS, "close($self)\n--\n\n"},
    {"read_batch", as_method(read_batch), METH_FASTCALL | METH_KEYWORDS, read_batch_doc},
    {"set_decoder", as_method(set_decoder), METH_VARARGS | METH_KEYWORDS,
     "set_decoder($self, dem, window_depth=0)\n--\n\n"
     "Configure the Union-Find decoder from a DEM.\n\n"
     "Parameters\n"
     "----------\n"
     "dem:\n"
     "    A file path (`str` or path object), an inline DEM text string,\n"
     "    or a Stim detector-error-model object whose string form is the DEM text.\n"
     "window_depth:\n"
     "    Number of syndrome rounds per decode window; 0 (the default) means\n"
     "    inferred from detector count divided by ancilla count."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_stream)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("VeskarStream(source)\n--\n\n")},
    {0, nullptr},
};

}  // namespace

PyType_Spec veskar_stream_spec = {
    "_veskar.VeskarStream", sizeof(Object<StreamState>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
};

}  // namespace veskar::py
