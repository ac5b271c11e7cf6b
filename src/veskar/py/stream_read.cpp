// Reading from a stream's source and closing it: the calling thread drives
// the reader and sleeps, without the interpreter lock, while the input has
// nothing.

#include "veskar/py/errors.hpp"
#include "veskar/py/stream_state.hpp"

namespace veskar::py {

Wake InterruptibleSleeper::sleep_until(Event& ready) {
    if (closed()) {
        return Wake::Closed;
    }
    if (ready.is_set()) {
        return Wake::Ready;
    }
    const Wake wake = wait_interruptibly(
        [&](std::chrono::milliseconds limit) {
            return close_ != nullptr ? close_->sleep_on(ready, limit) : ready.wait_for(limit);
        },
        timeout_);
    return wake == Wake::Ready && closed() ? Wake::Closed : wake;
}

namespace {

// Finishes a close that came while another call held the stream; false,
// with "stream is closed" raised, when the stream is closed.
bool open_for_reading(StreamState& stream) {
    if (stream.close_signal.raised()) {
        close_state(stream);
    }
    if (!stream.runtime || !stream.source) {
        raise_stream_closed();
        return false;
    }
    return true;
}

// Drives the source through a sleeper that keeps to the stream's timeout and
// to close() from any thread. A close that came meanwhile is finished here,
// unless a frame came too: that one lives in the source, and the caller may
// still read it; the next call finishes the close.
template <typename Drive>
ReadOutcome drive_source(StreamState& stream, Drive&& drive) {
    InterruptibleSleeper sleeper(stream.timeout, &stream.close_signal);
    auto outcome = drive(*stream.source, sleeper);
    if (stream.close_signal.raised() && !(outcome && *outcome == Outcome::Frame)) {
        close_state(stream);
    }
    if (!outcome) {
        raise_error(outcome.error());
        return ReadOutcome::Failed;
    }
    switch (*outcome) {
        case Outcome::Frame:
            return ReadOutcome::Frame;
        case Outcome::End:
            return ReadOutcome::End;  // the stream stays open: a later read asks the input again
        case Outcome::Closed:
            return ReadOutcome::End;  // a loop over the stream ends; later reads find it closed
        case Outcome::TimedOut:
            raise_timeout();  // the read resumes on the next call, as after an interrupt
            break;
        case Outcome::Interrupted:
            break;  // the signal handler's exception is set; the read resumes on the next call
    }
    return ReadOutcome::Failed;
}

}  // namespace

ReadOutcome read_next(StreamState& stream) {
    if (!open_for_reading(stream)) {
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
    return drive_source(stream, [](FrameSource& source, Sleeper& sleeper) { return source.next_frame(sleeper); });
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

ReadOutcome resync_source(StreamState& stream, uint64_t& skipped) {
    skipped = 0;
    if (!open_for_reading(stream)) {
        return ReadOutcome::Failed;
    }
    // A frame a batch read held back is whole, and resyncing would reuse the
    // buffer it lives in: the stream is at an acceptable frame already. An
    // error held back is what the caller is moving past.
    if (stream.frame_held) {
        return ReadOutcome::Frame;
    }
    stream.held_error = Ref();
    return drive_source(stream, [&](FrameSource& source, Sleeper& sleeper) { return source.resync(sleeper, skipped); });
}

// Joining the runtime's workers can take a moment, so the interpreter lock
// is let go meanwhile. A blocking thread stuck in a system call is not
// waited for (see IoRuntime).
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

void request_close(StreamState& stream) {
    stream.close_signal.raise();
    BorrowFlag::Guard borrow = stream.borrow.exclusive();
    if (!borrow) {
        PyErr_Clear();  // the call that holds the stream sees the signal and closes it
        return;
    }
    close_state(stream);
}

}  // namespace veskar::py
