#pragma once
// What a VeskarStream object holds, and the steps its methods are made of:
// reading one frame (stream_read.cpp), decoding it (decode_step.cpp) and
// closing (stream_read.cpp). The Python class itself is veskar_stream.cpp.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "veskar/core/window.hpp"
#include "veskar/decoder/committed_decoder.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/py/frame_source.hpp"
#include "veskar/py/ref.hpp"
#include "veskar/py/waiting.hpp"

namespace veskar::py {

struct ModuleState;

struct StreamState {
    BorrowFlag borrow;
    // The state of the module whose class made the stream, looked up once:
    // the stream keeps its class alive and the class its module, so it stays
    // valid for the stream's life, and each frame is made without a lookup.
    const ModuleState* module = nullptr;
    // The source is declared after the runtime so that it is destroyed
    // first: the socket or file must leave the runtime before it stops.
    std::unique_ptr<IoRuntime> runtime;
    // Bounds each wait: the open or connect, and every wait for input.
    Timeout timeout;
    // Raised by close() on any thread at any time. A read that waits wakes
    // and ends; whichever call holds the stream finishes the close.
    CloseSignal close_signal;
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
    // Decoding shot by shot (commit_rounds > 0) in place of the window and
    // decoder above: one shot's graph, and the committed decoder made from it
    // by the first frame after set_decoder, for that frame's ancilla count.
    std::shared_ptr<const SpacetimeGraph> shot_graph;
    std::optional<CommittedDecoder> committed;
    uint32_t commit_rounds = 0;
    uint32_t buffer_rounds = 0;
    // Where a batch read stopped early, handed out by the next read of either
    // kind so that no frame is lost or read twice: the source's current frame
    // (one of another width than the batch), or the exception raised after
    // the batch's good frames.
    bool frame_held = false;
    Ref held_error;

    // A decoder is attached, of either kind.
    bool decoding() const { return decoder.has_value() || shot_graph != nullptr; }
};

// Sleeps without the interpreter lock, so other Python threads run while a
// read waits, and takes it back now and then to run signal handlers; gives
// up after `timeout`, and at once when `close` is raised. The stream's
// exclusive borrow keeps every other caller but close() away meanwhile.
class InterruptibleSleeper final : public Sleeper {
   public:
    // `close` is null while a stream opens: nothing can close it yet.
    InterruptibleSleeper(Timeout timeout, CloseSignal* close) : timeout_(timeout), close_(close) {}
    Wake sleep_until(Event& ready) override;

   private:
    bool closed() const { return close_ != nullptr && close_->raised(); }

    Timeout timeout_;
    CloseSignal* close_;
};

enum class ReadOutcome : uint8_t {
    Frame,   // `frame` holds the next frame, not yet decoded
    End,     // no frame for now, or the stream was closed while the read waited; no exception set
    Failed,  // a Python exception is set (a reader error, an interrupt, a timeout, a closed stream)
};

// Reads the next frame and leaves it in the source (stream.source->frame()),
// a held frame or error first. The caller holds the exclusive borrow.
ReadOutcome read_next(StreamState& stream);

// read_next, with the frame copied into `frame`.
ReadOutcome read_frame(StreamState& stream, OwnedFrame& frame);

// Keeps the exception that is set for the next read (held_error).
void hold_error(StreamState& stream);

// resync(): passes over damaged input up to the next frame header the reader
// accepts, setting `skipped`; waits, fails and ends like read_next (End: the
// input ended or the stream was closed meanwhile).
ReadOutcome resync_source(StreamState& stream, uint64_t& skipped);

// With a decoder attached, decodes the frame and puts the decoder's
// observable flips on it: pushed into the window and the window decoded, or,
// decoding shot by shot, handed to the committed decoder. A frame that
// breaks its shot's sequence sets `broken`: it is still handed out, inside
// that error. False with a Python exception set only when the window or the
// committed decoder cannot be made.
bool decode_step(StreamState& stream, OwnedFrame& frame, std::optional<SequenceError>& broken);

// The input has ended: decoding shot by shot, a shot in progress is dropped
// and raised as the error StreamEnded (false); the next frame must start a
// shot. Otherwise nothing happens and no exception is set.
bool end_of_input(StreamState& stream);

// VeskarStream.read_batch (read_batch.cpp), a METH_FASTCALL | METH_KEYWORDS
// method, and its docstring.
PyObject* read_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char read_batch_doc[];

// Destroys the source and then the runtime; a closed stream closes again
// without complaint.
void close_state(StreamState& stream);

// close() and __exit__, from any thread at any time: wakes a read that
// waits, which ends and finishes the close; with nobody holding the stream,
// closes it here. Never fails.
void request_close(StreamState& stream);

}  // namespace veskar::py
