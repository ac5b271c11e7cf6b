// VeskarStream: the iterator that reads syndrome frames from a file or a TCP
// peer into Python, one SyndromeFrame per __next__.

#include <chrono>
#include <exception>
#include <new>

#include "veskar/py/classes.hpp"

namespace veskar::py {

namespace {

// How often a sleeping read takes the interpreter lock back to run signal
// handlers, so that Ctrl-C ends a wait on a silent peer.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

struct StreamState {
    BorrowFlag borrow;
    // The source is declared after the runtime so that it is destroyed
    // first: the socket or file must leave the runtime before it stops.
    std::unique_ptr<IoRuntime> runtime;
    // window: the SyndromeWindow of the decode step, made on the first
    // frame after set_decoder (arrives with decoding).
    std::unique_ptr<FrameSource> source;
    // decoder: the Union-Find decoder set by set_decoder (arrives with
    // decoding).
    uint64_t window_depth = 0;    // rounds per window; 0 derives it from the DEM
    uint64_t detector_count = 0;  // detectors of the DEM given to set_decoder
};

struct StreamObject {
    PyObject_HEAD
    StreamState state;
};

StreamState& state_of(PyObject* self) {
    return as<StreamObject>(self)->state;
}

// Sleeps without the interpreter lock, so other Python threads run while a
// read waits, and takes it back every kSignalCheckInterval to run signal
// handlers. The stream's exclusive borrow keeps every other caller away
// from it meanwhile.
class InterruptibleSleeper final : public Sleeper {
   public:
    bool sleep_until(Event& ready) override {
        while (!ready.is_set()) {
            bool fired;
            {
                WithoutGil unlocked;
                fired = ready.wait_for(kSignalCheckInterval);
            }
            if (fired) {
                break;
            }
            if (PyErr_CheckSignals() < 0) {
                return false;
            }
        }
        return true;
    }
};

// C++ failures (out of memory while copying a frame, say) must not cross
// into the interpreter.
PyObject* raise_current_exception() {
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

// Destroys the source and then the runtime. Joining the runtime's threads
// can take a moment (a blocking job may be finishing), so the interpreter
// lock is let go meanwhile.
void close_state(StreamState& stream) {
    std::unique_ptr<FrameSource> source = std::move(stream.source);
    std::unique_ptr<IoRuntime> runtime = std::move(stream.runtime);
    if (!source && !runtime) {
        return;
    }
    WithoutGil unlocked;
    source.reset();
    runtime.reset();
}

// The decode step: with a decoder attached, the frame goes into the window,
// the window is decoded and the decoder's observable flips replace the
// frame's own. Until decoding arrives every frame passes through as read.
bool decode_step(StreamState&, OwnedFrame&) {
    return true;
}

PyObject* new_stream(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", nullptr};
    PyObject* source_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:VeskarStream", const_cast<char**>(keywords), &source_arg)) {
        return nullptr;
    }
    if (!PyUnicode_Check(source_arg)) {
        PyErr_Format(PyExc_TypeError, "VeskarStream() argument 'source' must be str, not %.200s",
                     Py_TYPE(source_arg)->tp_name);
        return nullptr;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(source_arg, &length);
    if (text == nullptr) {
        return nullptr;
    }
    try {
        InterruptibleSleeper sleeper;
        auto opened = open_source(std::string_view(text, static_cast<size_t>(length)), sleeper);
        if (!opened) {
            switch (opened.error().kind) {
                case OpenFailure::Kind::Refused:
                    return raise(PyExc_ValueError, opened.error().message);
                case OpenFailure::Kind::RuntimeFailed:
                case OpenFailure::Kind::Io:
                    return raise(PyExc_OSError, opened.error().message);
                case OpenFailure::Kind::Interrupted:
                    return nullptr;  // the signal handler's exception is set
            }
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;  // `opened` shuts its runtime down on the way out
        }
        StreamState& stream = construct_state(as<StreamObject>(self))->state;
        stream.runtime = std::move(opened->runtime);
        stream.source = std::move(opened->source);
        return self;
    } catch (...) {
        return raise_current_exception();
    }
}

void stream_dealloc(PyObject* self) {
    close_state(state_of(self));
    dealloc_with_state<StreamObject>(self);
}

PyObject* stream_next(PyObject* self) {
    StreamState& stream = state_of(self);
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow) {
        return nullptr;
    }
    if (!stream.runtime || !stream.source) {
        return raise(PyExc_OSError, "stream is closed");
    }
    try {
        OwnedFrame frame;
        InterruptibleSleeper sleeper;
        auto outcome = stream.source->next_owned(sleeper, frame);
        if (!outcome) {
            return raise(PyExc_OSError, message(outcome.error()));
        }
        switch (*outcome) {
            case Outcome::End:
                return nullptr;  // no exception: iteration ends, the stream stays open
            case Outcome::Interrupted:
                return nullptr;  // the signal handler's exception is set
            case Outcome::Frame:
                break;
        }
        if (!decode_step(stream, frame)) {
            return nullptr;
        }
        borrow.reset();
        return syndrome_frame_new(std::move(frame));
    } catch (...) {
        return raise_current_exception();
    }
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

// close() and __exit__: the exclusive borrow, then the source and the runtime
// go; a closed stream closes again without complaint.
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
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", const_cast<char**>(keywords), &exc_type,
                                     &exc_val, &tb)) {
        return nullptr;
    }
    if (!close_borrowed(self)) {
        return nullptr;
    }
    Py_RETURN_FALSE;  // never swallows the exception that left the block
}

PyMethodDef methods[] = {
    {"__enter__", enter_method, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit_method)), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _tb)\n--\n\n"},
    {"close", close_method, METH_NOARGS, "close($self)\n--\n\n"},
    // set_decoder($self, dem, window_depth=0) arrives with decoding.
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

PyType_Spec spec = {
    "_veskar.VeskarStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

PyObject* stream_type = nullptr;

}  // namespace

PyTypeObject* veskar_stream_type() {
    return type_once(stream_type, &spec);
}

}  // namespace veskar::py
