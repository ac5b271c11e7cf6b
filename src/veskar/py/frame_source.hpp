#pragma once
// Where a Python stream's frames come from: the source text chooses a file or
// a TCP peer, the bytes are read without blocking on the stream's own I/O
// runtime, and each frame the reader produces is copied into an OwnedFrame
// that outlives the reader's buffers. Nothing here touches Python.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "veskar/core/error.hpp"
#include "veskar/deserialize/byte_source.hpp"
#include "veskar/deserialize/stream.hpp"
#include "veskar/py/io_runtime.hpp"

namespace veskar::py {

// Where shot-by-shot decoding put a frame; `none` when the stream does not
// decode shot by shot.
enum class ShotPart : uint8_t {
    none,
    within,   // observable_flips: what the shot's committed windows flipped so far
    end,      // observable_flips: the whole shot's prediction
    skipped,  // part of no whole shot: not decoded, observable_flips absent
};

// One frame as handed to Python: everything owned, nothing pointing into the
// reader. The decode step may replace observable_flips; the recorded value
// stays beside it so that a decoder can be scored against the recording.
struct OwnedFrame {
    std::optional<uint64_t> observable_flips;           // from the metadata block, if it carries them
    std::optional<uint64_t> recorded_observable_flips;  // the same, never touched by decoding
    std::vector<int8_t> meas_results;                   // one per ancilla
    std::vector<uint8_t> detector_events;               // exactly ancilla_count entries of 0 or 1
    uint64_t frame_id = 0;
    uint64_t timestamp_ns = 0;
    uint32_t round = 0;
    uint32_t detector_event_count = 0;  // counted on the run-length code, cut-off runs included
    uint16_t qubit_count = 0;
    uint16_t ancilla_count = 0;
    uint8_t code_type = 0;  // raw discriminant
    uint8_t distance = 0;
    ShotPart shot_part = ShotPart::none;
};

// A byte source that answers Pending instead of blocking, and can tell the
// caller what to wait for before asking again.
class PollableByteSource : public ByteSource {
   public:
    // After read_some answered Pending: the event that fires once reading can
    // make progress. Calling it again before the event fired (a wait that was
    // interrupted) returns the same armed event and starts nothing new.
    virtual Event& arm_wait() = 0;
};

enum class Outcome : uint8_t {
    Frame,        // the reader holds the next frame
    End,          // no more frames (for now: a later call asks the input again)
    Interrupted,  // a signal handler raised while waiting; the read resumes on the next call
    TimedOut,     // the wait for input passed its limit; the read resumes on the next call
    Closed,       // the stream was closed while the read waited
};

// The reader over one opened input. It is bound to the runtime it was opened
// on, which must outlive it.
class FrameSource {
   public:
    FrameSource(std::unique_ptr<PollableByteSource> input, StreamConfig config);

    // Drives the reader until it yields a frame, the end or an error. A frame
    // already buffered is produced right here; only when the input has
    // nothing does the calling thread sleep, through `sleeper`. The frame is
    // frame(), valid until the next call.
    std::expected<Outcome, VeskarError> next_frame(Sleeper& sleeper);
    const SyndromeFrame& frame() const { return reader_.frame(); }

    // The next frame when it is buffered whole already, never waiting
    // (TolmStream::next_buffered_frame): true with it in frame(), false
    // with nothing read.
    std::expected<bool, VeskarError> next_buffered_frame() { return reader_.next_buffered_frame(); }
    // Bytes buffered and not yet read.
    size_t buffered() const { return reader_.ring().unread(); }

    // Passes over damaged bytes to the next frame header the reader accepts
    // (TolmStream::resync), waiting like next_frame. Outcome::Frame: such a
    // header is next; End: the input ended first. `skipped` is the count of
    // bytes passed over, once the resync is done.
    std::expected<Outcome, VeskarError> resync(Sleeper& sleeper, uint64_t& skipped);

   private:
    // Sleeps until the input can make progress; nullopt when the reader
    // should go on, otherwise the outcome that ends the call.
    std::optional<Outcome> wait_for_input(Sleeper& sleeper);

    PollableByteSource* input_;  // owned by reader_
    TolmStream reader_;
};

// Copies the reader's current frame (views into its ring) into `out`.
void copy_frame(const SyndromeFrame& frame, OwnedFrame& out);

struct OpenedSource {
    std::unique_ptr<IoRuntime> runtime;
    std::unique_ptr<FrameSource> source;  // declared after the runtime: destroyed first
};

// Why a source could not be opened.
namespace open_failure {
struct Refused {};  // a transport this module does not offer ("shm://")
struct RuntimeFailed {
    std::string text;  // the system's text
};
struct Interrupted {};  // a signal handler raised while waiting
struct TimedOut {};     // a wait for the open, the name lookup or a connection passed its limit
struct Connect {
    VeskarError error;  // the address did not resolve or no connection was made
};
struct File {
    VeskarError error;  // the file could not be opened (or is a directory)
};
}  // namespace open_failure

using OpenFailure = std::variant<open_failure::Refused, open_failure::RuntimeFailed, open_failure::Interrupted,
                                 open_failure::TimedOut, open_failure::Connect, open_failure::File>;

// A wait of an open that did not end with its event: the failure it stands
// for. Nullopt for Wake::Ready.
std::optional<OpenFailure> abandoned_open(Wake wake);

// The text is kept word for word because callers match on it. The C entry
// point it names belongs to no part of this system: there is no shared-memory
// transport here in any form, and nothing to call instead.
inline constexpr std::string_view kShmRefusal =
    "shm:// transport is not available in the Python bindings; use the C FFI veskar_shm_open for SHM "
    "access";

// Interprets the source text: "shm://" is refused before anything is made,
// "tcp://host:port" connects, anything else is a file path. Waits for the
// open or connect through `sleeper`. Nothing is read from the input.
// A wait abandoned early (interrupt, timeout) leaves no thread waiting for
// the open: one stuck in the system call ends by itself once it returns.
std::expected<OpenedSource, OpenFailure> open_source(std::string_view text, Sleeper& sleeper);

// Opens `path` as a file whatever it begins with (a path object's path).
std::expected<OpenedSource, OpenFailure> open_file_source(const std::string& path, Sleeper& sleeper);

// Opens a file read-only on the runtime's blocking thread; a directory is
// refused with EISDIR, as reading it would fail anyway.
std::expected<std::unique_ptr<PollableByteSource>, OpenFailure> open_file(IoRuntime& runtime, const std::string& path,
                                                                          Sleeper& sleeper);

// Resolves "host:port" on the blocking thread and connects to the first address
// that accepts, trying them in order.
std::expected<std::unique_ptr<PollableByteSource>, OpenFailure> connect_tcp(IoRuntime& runtime,
                                                                            std::string_view address, Sleeper& sleeper);

}  // namespace veskar::py
