// VeskarStream: the iterator that reads syndrome frames from a file or a TCP
// peer into Python, one SyndromeFrame per __next__.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "veskar/core/window.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"
#include "veskar/py/classes.hpp"
#include "veskar/py/cpp_exception.hpp"
#include "veskar/py/int_argument.hpp"
#include "veskar/py/text_file.hpp"

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
    // Made on the first frame after set_decoder, which also drops it, so
    // that a new decoder never sees rounds decoded by the old one.
    std::optional<SyndromeWindow> window;
    std::unique_ptr<FrameSource> source;
    std::optional<UnionFindDecoder> decoder;
    uint64_t window_depth = 0;    // rounds per window; 0 derives it from the DEM
    uint64_t detector_count = 0;  // detectors of the DEM given to set_decoder
    // The window's fired detectors, refilled by every decode step; it keeps
    // its storage so that the steady state allocates nothing for it.
    std::vector<uint32_t> active;
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

// Rounds per window when set_decoder was given none: as many rounds of this
// frame's width as the DEM has detectors, so that a window lines up with one
// shot of the model; at least 1.
uint64_t derived_depth(uint64_t detector_count, uint16_t ancilla_count) {
    const uint64_t per_round = ancilla_count > 1 ? ancilla_count : 1;
    const uint64_t quotient = detector_count / per_round;
    return quotient > 1 ? quotient : 1;
}

// The decode step: with a decoder attached, the frame goes into the window,
// the window is decoded and the decoder's observable flips replace the
// frame's own. False with a Python exception set only when the window
// cannot be made (a depth given to set_decoder that no memory can hold).
//
// This runs once per frame, so it keeps to what the window round itself
// needs: the two copied vectors. The active list is the stream's reused
// buffer, and decoding it directly skips the corrections list that a full
// decoder result would build only to be dropped.
bool decode_step(StreamState& stream, OwnedFrame& frame) {
    if (!stream.decoder) {
        return true;
    }
    if (!stream.window) {
        const uint64_t depth = stream.window_depth != 0 ? stream.window_depth
                                                        : derived_depth(stream.detector_count, frame.ancilla_count);
        auto made = SyndromeWindow::create(frame.ancilla_count, depth);
        if (!made) {
            raise_window_error(made.error());
            return false;
        }
        stream.window.emplace(std::move(*made));
        // Enough for every detector of a window of modest size; larger
        // windows grow it on the rare frames that fire more.
        constexpr uint64_t kActiveReserve = 1 << 16;
        stream.active.reserve(static_cast<size_t>(std::min(frame.ancilla_count * depth, kActiveReserve)));
    }
    stream.window->push_owned(
        OwnedSyndromeData{frame.detector_events, frame.meas_results, frame.frame_id, frame.timestamp_ns, frame.round});
    stream.window->active_detectors(stream.active);
    frame.observable_flips = stream.active.empty() ? 0 : stream.decoder->decode_detectors(stream.active);
    return true;
}

// Reads a whole DEM file as UTF-8 text. Null with OSError set on failure,
// its message the system's text: a directory fails on read with "Is a
// directory". The interpreter lock is kept, as for every wait of a stream.
std::optional<std::string> read_dem_file(const char* path, Py_ssize_t path_length) {
    if (std::memchr(path, '\0', static_cast<size_t>(path_length)) != nullptr) {
        raise(PyExc_OSError, "file name contained an unexpected NUL byte");
        return std::nullopt;
    }
    auto text = read_utf8_file(path);
    if (!text) {
        raise(PyExc_OSError,
              text.error() == EILSEQ ? "stream did not contain valid UTF-8" : std::strerror(text.error()));
        return std::nullopt;
    }
    return std::move(*text);
}

std::optional<std::string> utf8_of(PyObject* text_object) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(text_object, &length);
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text, static_cast<size_t>(length));
}

// The DEM text `dem` stands for: a str naming an existing file is that
// file's contents and any other str is the text itself; a path-like object
// names a file that must be readable; anything else is its str(), which is
// how a stim.DetectorErrorModel gives its text. Null with the exception set.
std::optional<std::string> dem_text(PyObject* dem) {
    if (PyUnicode_Check(dem)) {
        // A text that cannot be a file name (not encodable, or holding a
        // NUL) is DEM text without asking the file system.
        Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(dem));
        if (!encoded) {
            PyErr_Clear();
        } else {
            const char* path = PyBytes_AS_STRING(encoded.get());
            const Py_ssize_t length = PyBytes_GET_SIZE(encoded.get());
            struct stat info {};
            if (length != 0 && std::memchr(path, '\0', static_cast<size_t>(length)) == nullptr &&
                ::stat(path, &info) == 0) {
                return read_dem_file(path, length);
            }
        }
        return utf8_of(dem);
    }
    Ref fspath = Ref::steal(PyObject_GetAttrString(dem, "__fspath__"));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return std::nullopt;
        }
        PyErr_Clear();
        Ref text = Ref::steal(PyObject_Str(dem));
        if (!text) {
            return std::nullopt;
        }
        return utf8_of(text.get());
    }
    Ref path = Ref::steal(PyObject_CallNoArgs(fspath.get()));
    if (!path) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(path.get())) {
        PyErr_Format(PyExc_TypeError, "expected %.200s.__fspath__() to return str, not %.200s", Py_TYPE(dem)->tp_name,
                     Py_TYPE(path.get())->tp_name);
        return std::nullopt;
    }
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
    if (!encoded) {
        return std::nullopt;
    }
    return read_dem_file(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
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
        return raise_cpp_exception();
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
    PyObject* dem_arg = nullptr;
    PyObject* depth_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:set_decoder", const_cast<char**>(keywords), &dem_arg,
                                     &depth_arg)) {
        return nullptr;
    }
    uint64_t window_depth = 0;
    if (depth_arg != nullptr && !unsigned_argument(depth_arg, "set_decoder", "window_depth",
                                                   std::numeric_limits<uint64_t>::max(), window_depth)) {
        return nullptr;
    }
    try {
        // A parsed model is taken as it is: its str() is only its repr.
        std::optional<DetectorErrorModel> model;
        if (const DetectorErrorModel* parsed = detector_error_model_of(dem_arg)) {
            model = *parsed;
        } else {
            std::optional<std::string> text = dem_text(dem_arg);
            if (!text) {
                return nullptr;
            }
            auto parsed_text = DetectorErrorModel::parse(*text);
            if (!parsed_text) {
                return raise(PyExc_ValueError, message(parsed_text.error()));
            }
            model = std::move(*parsed_text);
        }
        auto graph = SpacetimeGraph::try_from_dem(*model);
        if (!graph) {
            return raise(PyExc_ValueError, message(graph.error()));
        }
        auto decoder = UnionFindDecoder::create(std::make_shared<const SpacetimeGraph>(std::move(*graph)));
        if (!decoder) {
            // Observables past L63 have no bit in the flip mask.
            return raise(PyExc_ValueError, message(decoder.error()));
        }
        stream.decoder.emplace(std::move(*decoder));
        stream.detector_count = model->detector_count;
        stream.window_depth = window_depth;
        stream.window.reset();
    } catch (...) {
        return raise_cpp_exception();
    }
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
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit_method)), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _tb)\n--\n\n"},
    {"close", close_method, METH_NOARGS, "close($self)\n--\n\n"},
    {"set_decoder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_decoder)),
     METH_VARARGS | METH_KEYWORDS,
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

PyType_Spec spec = {
    "_veskar.VeskarStream", sizeof(StreamObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
};

PyObject* stream_type = nullptr;

}  // namespace

PyTypeObject* veskar_stream_type() {
    return type_once(stream_type, &spec);
}

}  // namespace veskar::py
