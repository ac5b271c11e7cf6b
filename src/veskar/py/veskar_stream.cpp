// VeskarStream: the iterator that reads syndrome frames from a file or a TCP
// peer into Python, one SyndromeFrame per __next__. Its state and the steps
// of reading and decoding are in stream_state.hpp.

#include <malloc.h>

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

// None, or a number of seconds greater than 0. Zero is refused rather than
// taken as "never wait": opening a file is a wait too, so such a stream
// would fail or not at the whim of a thread's scheduling. A limit past any
// real wait (infinity included) is none.
bool timeout_argument(PyObject* value, Timeout& out) {
    out.reset();
    if (value == nullptr || value == Py_None) {
        return true;
    }
    double seconds = 0;
    if (!float_argument(value, {"VeskarStream", "timeout"}, seconds)) {
        return false;
    }
    if (!(seconds > 0)) {
        raise(PyExc_ValueError, "VeskarStream() argument 'timeout' must be None or a number of seconds > 0");
        return false;
    }
    constexpr double kLongestTimeoutSeconds = 1e9;  // some 30 years; clock arithmetic stays far from overflow
    if (seconds < kLongestTimeoutSeconds) {
        out = std::chrono::duration_cast<Timeout::value_type>(std::chrono::duration<double>(seconds));
    }
    return true;
}

// A str is a source text ("tcp://host:port", or a file path); a path object
// always names a file.
PyObject* new_stream(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "timeout", nullptr};
    PyObject* source = nullptr;
    PyObject* timeout_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:VeskarStream", const_cast<char**>(keywords), &source,
                                     &timeout_arg)) {
        return nullptr;
    }
    Timeout timeout;
    if (!timeout_argument(timeout_arg, timeout)) {
        return nullptr;
    }
    const bool is_text = PyUnicode_Check(source);
    Ref text = is_text ? Ref::borrow(source) : path_argument(source, {"VeskarStream", "source"});
    std::optional<std::string_view> utf8 = text ? utf8_of(text.get()) : std::nullopt;
    if (!utf8) {
        return nullptr;
    }
    try {
        InterruptibleSleeper sleeper(timeout, nullptr);
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
        stream.timeout = timeout;
        return self;
    } catch (...) {
        return raise_cpp_exception();
    }
}

void stream_dealloc(PyObject* self) {
    close_state(state_of(self));
    dealloc_object<StreamState>(self);
}

// The exclusive borrow of a method that reads. A stream closed while its
// last read still finishes the close is closed, not busy.
BorrowFlag::Guard borrow_for_reading(StreamState& stream) {
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow && stream.close_signal.raised()) {
        PyErr_Clear();
        raise_stream_closed();
    }
    return borrow;
}

PyObject* stream_next(PyObject* self) {
    StreamState& stream = state_of(self);
    BorrowFlag::Guard borrow = borrow_for_reading(stream);
    if (!borrow) {
        return nullptr;
    }
    try {
        OwnedFrame frame;
        const ReadOutcome read = read_frame(stream, frame);
        if (read == ReadOutcome::End) {
            end_of_input(stream);  // raises for a shot the end cut short
        }
        std::optional<SequenceError> broken;
        if (read != ReadOutcome::Frame || !decode_step(stream, frame, broken)) {
            return nullptr;  // at a plain end no exception is set: iteration ends, the stream stays open
        }
        borrow.reset();
        Ref made = Ref::steal(stream.module->syndrome_frame.make(std::move(frame)));
        if (made && broken) {
            return raise_error(*broken, made.get());
        }
        return made.release();
    } catch (...) {
        return raise_cpp_exception();
    }
}

// Parsing a model and building its graph and decoder free many small blocks.
// glibc consolidates them at the next large allocation, which would be the
// first frame's window or committed decoder: a live stream would start tens
// of milliseconds behind its feed. Consolidating here keeps that out of
// reading.
void release_set_up_memory(Ref model) {
    model = Ref();
#if defined(__GLIBC__)
    WithoutGil unlocked;
    malloc_trim(0);
#endif
}

// set_decoder: everything is built before anything is replaced, so a DEM
// that fails leaves the stream exactly as it was, earlier decoder included.
// With commit_rounds the stream decodes shot by shot and keeps only the
// graph: the committed decoder needs the frames' ancilla count.
PyObject* set_decoder(PyObject* self, PyObject* args, PyObject* kwargs) {
    StreamState& stream = state_of(self);
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow) {
        return nullptr;
    }
    static const char* keywords[] = {"dem", "window_depth", "commit_rounds", "buffer_rounds", nullptr};
    PyObject* dem = nullptr;
    PyObject* depth_arg = nullptr;
    PyObject* commit_arg = nullptr;
    PyObject* buffer_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OO:set_decoder", const_cast<char**>(keywords), &dem, &depth_arg,
                                     &commit_arg, &buffer_arg)) {
        return nullptr;
    }
    uint64_t window_depth = 0;
    if (depth_arg != nullptr && !unsigned_argument(depth_arg, {"set_decoder", "window_depth"}, window_depth)) {
        return nullptr;
    }
    uint32_t commit_rounds = 0;
    if (commit_arg != nullptr && !unsigned_argument(commit_arg, {"set_decoder", "commit_rounds"}, commit_rounds)) {
        return nullptr;
    }
    uint32_t buffer_rounds = commit_rounds;
    if (buffer_arg != Py_None) {
        if (!unsigned_argument(buffer_arg, {"set_decoder", "buffer_rounds"}, buffer_rounds)) {
            return nullptr;
        }
        if (commit_rounds == 0) {
            return raise(PyExc_ValueError, "set_decoder() argument 'buffer_rounds' needs commit_rounds of at least 1");
        }
    }
    Ref model = resolve_dem(*stream.module, dem);
    if (!model) {
        return nullptr;
    }
    const DetectorErrorModel& parsed = model_of(model.get());
    std::shared_ptr<const SpacetimeGraph> shot_graph;
    std::optional<UnionFindDecoder> decoder;
    if (commit_rounds != 0) {
        shot_graph = decoding_graph_for(parsed);
        if (!shot_graph) {
            return nullptr;
        }
    } else {
        decoder = decoder_for(parsed);
        if (!decoder) {
            return nullptr;
        }
    }
    stream.decoder = std::move(decoder);
    stream.shot_graph = std::move(shot_graph);
    stream.detector_count = parsed.detector_count;
    stream.window_depth = window_depth;
    stream.commit_rounds = commit_rounds;
    stream.buffer_rounds = buffer_rounds;
    stream.window.reset();
    stream.committed.reset();
    release_set_up_memory(std::move(model));
    Py_RETURN_NONE;
}

PyObject* resync_method(PyObject* self, PyObject*) {
    StreamState& stream = state_of(self);
    BorrowFlag::Guard borrow = borrow_for_reading(stream);
    if (!borrow) {
        return nullptr;
    }
    try {
        uint64_t skipped = 0;
        if (resync_source(stream, skipped) == ReadOutcome::Failed) {
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(skipped);
    } catch (...) {
        return raise_cpp_exception();
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

PyObject* close_method(PyObject* self, PyObject*) {
    request_close(state_of(self));
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
    request_close(state_of(self));
    Py_RETURN_FALSE;  // never swallows the exception that left the block
}

PyMethodDef methods[] = {
    {"__enter__", enter_method, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(exit_method), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _tb)\n--\n\n"},
    {"close", close_method, METH_NOARGS,
     "close($self)\n--\n\n"
     "Close the stream; callable from any thread at any time.\n\n"
     "A read waiting for input on another thread wakes and ends as the end of the\n"
     "stream does (a `for` loop over the stream just stops); every later read raises\n"
     "OSError \"stream is closed\". Nothing waits for a system call that is stuck\n"
     "(an open or read of a FIFO nobody writes to): its thread ends by itself."},
    {"read_batch", as_method(read_batch), METH_FASTCALL | METH_KEYWORDS, read_batch_doc},
    {"resync", resync_method, METH_NOARGS,
     "resync($self)\n--\n\n"
     "Skip damaged input; return the number of bytes skipped.\n\n"
     "After a damaged frame the stream repeats its error (a frame header whose CRC\n"
     "fails is never passed over on its own). This drops the frame in progress, if\n"
     "any, and passes over bytes up to the next frame header whose CRC checks and\n"
     "whose frame id is larger than the last one read, which the next read returns.\n"
     "When the input ends first, the bytes left count as skipped and the next read\n"
     "ends the iteration. Waits for input as a read does (timeout, Ctrl-C, close())."},
    {"set_decoder", as_method(set_decoder), METH_VARARGS | METH_KEYWORDS,
     "set_decoder($self, dem, window_depth=0, *, commit_rounds=0, buffer_rounds=None)\n--\n\n"
     "Configure the Union-Find decoder from a DEM.\n\n"
     "Parameters\n"
     "----------\n"
     "dem:\n"
     "    A file path (`str` or path object), an inline DEM text string,\n"
     "    or a Stim detector-error-model object whose string form is the DEM text.\n"
     "window_depth:\n"
     "    Number of syndrome rounds per decode window; 0 (the default) means\n"
     "    inferred from detector count divided by ancilla count.\n"
     "    Ignored when commit_rounds is given.\n"
     "commit_rounds:\n"
     "    0 (the default): every frame is decoded over the sliding window above.\n"
     "    C > 0: decode shot by shot. The DEM is one shot of F = ceil(detectors /\n"
     "    ancilla_count) frames, frame k carrying detectors k*A .. k*A + A - 1; a\n"
     "    frame of round 0 starts a shot and rounds 1 .. F - 1 must follow. Each\n"
     "    time C + B frames are pending, they are decoded alone and the part of\n"
     "    the correction in the oldest C is committed. A frame's observable_flips\n"
     "    is the shot's committed mask so far; the frame with ends_shot True\n"
     "    carries the whole shot's prediction. C >= F (veskar.WHOLE_SHOT, say)\n"
     "    decodes each shot once, whole, at its last frame.\n"
     "    A frame out of sequence (a lost frame, a shot cut short, another ancilla\n"
     "    count) raises OSError with `kind` \"UnexpectedRound\", \"ShotCutShort\" or\n"
     "    \"AncillaCountChanged\" and `frame`, the frame read; the shot is dropped\n"
     "    and later frames are skipped (no observable_flips) up to the next of\n"
     "    round 0, where decoding resumes (a frame of round 0 that cut a shot short\n"
     "    starts the next one itself). An input that ends inside a shot raises\n"
     "    OSError with kind \"StreamEnded\" before iteration ends.\n"
     "buffer_rounds:\n"
     "    B, the frames beyond the committed ones that each window also sees;\n"
     "    None (the default) means C. Only with commit_rounds."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_stream)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("VeskarStream(source, *, timeout=None)\n--\n\n"
                                  "Frames read from a file path (a str or a path object) or \"tcp://host:port\".\n\n"
                                  "timeout:\n"
                                  "    Seconds to wait, at most, for the file to open or the peer to connect, and\n"
                                  "    then for each wait for input while reading; None (the default) waits as long\n"
                                  "    as it takes. A read that times out raises TimeoutError and resumes where it\n"
                                  "    stopped on the next call, as after an interrupt.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec veskar_stream_spec = {
    "_veskar.VeskarStream", sizeof(Object<StreamState>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
};

}  // namespace veskar::py
