// Reading from a stream's source and closing it: the calling thread drives
// the reader and sleeps, without the interpreter lock, while the input has
// nothing.

#include <chrono>

#include "veskar/py/errors.hpp"
#include "veskar/py/stream_state.hpp"

namespace veskar::py {

namespace {

// How often a sleeping read takes the interpreter lock back to run signal
// handlers, so that Ctrl-C ends a wait on a silent peer.
constexpr std::chrono::milliseconds kSignalCheckInterval{50};

}  // namespace

bool InterruptibleSleeper::sleep_until(Event& ready) {
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

ReadOutcome read_next(StreamState& stream) {
    if (!stream.runtime || !stream.source) {
        raise_stream_closed();
        return ReadOutcome::Failed;
    }
    if (stream.held_error) {
        restore_error(std::move(stream.held_error));
        return ReadOutcome::Failed;
    }
    if (stream.frame_held) {
        stream.frame_held = false;
        return ReadOutcome::Frame;
    }
    InterruptibleSleeper sleeper;
    auto outcome = stream.source->next_frame(sleeper);
    if (!outcome) {
        raise_error(outcome.error());
        return ReadOutcome::Failed;
    }
    switch (*outcome) {
        case Outcome::Frame:
            return ReadOutcome::Frame;
        case Outcome::End:
            return ReadOutcome::End;  // the stream stays open: a later read asks the input again
        case Outcome::Interrupted:
            break;  // the signal handler's exception is set; the read resumes on the next call
    }
    return ReadOutcome::Failed;
}

ReadOutcome read_frame(StreamState& stream, OwnedFrame& frame) {
    const ReadOutcome outcome = read_next(stream);
    if (outcome == ReadOutcome::Frame) {
        copy_frame(stream.source->frame(), frame);
    }
    return outcome;
}

void hold_error(StreamState& stream) {
    stream.held_error = take_error();
}

// Joining the runtime's threads can take a moment (a blocking job may be
// finishing), so the interpreter lock is let go meanwhile.
void close_state(StreamState& stream) {
    std::unique_ptr<FrameSource> source = std::move(stream.source);
    std::unique_ptr<IoRuntime> runtime = std::move(stream.runtime);
    stream.frame_held = false;  // it lived in the source
    if (!source && !runtime) {
        return;
    }
    WithoutGil unlocked;
    source.reset();
    runtime.reset();
}

}  // namespace veskar::py
