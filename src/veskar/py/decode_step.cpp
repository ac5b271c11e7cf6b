// The decode step of a stream with a decoder attached, in one of two modes:
//
// - the sliding window: the frame goes into the stream's window, the window
//   is decoded and the decoder's observable flips replace the frame's own;
// - shot by shot (commit_rounds > 0): the frame goes to the committed
//   decoder, which answers with the shot's committed mask so far, the whole
//   shot's prediction at its last frame, or a frame that breaks the shot.
//
// This runs once per frame, so it keeps to what the step itself needs. In
// the window: the two copied vectors; the active list is the stream's reused
// buffer, and decoding it directly skips the corrections list that a full
// decoder result would build only to be dropped. Shot by shot: nothing.

#include <algorithm>
#include <variant>

#include "veskar/py/errors.hpp"
#include "veskar/py/stream_state.hpp"

namespace veskar::py {

namespace {

// Rounds per window when set_decoder was given none: as many rounds of this
// frame's width as the DEM has detectors, so that a window lines up with one
// shot of the model; at least 1.
uint64_t derived_depth(uint64_t detector_count, uint16_t ancilla_count) {
    const uint64_t per_round = ancilla_count > 1 ? ancilla_count : 1;
    const uint64_t quotient = detector_count / per_round;
    return quotient > 1 ? quotient : 1;
}

// The window is made by the first frame after set_decoder and keeps that
// frame's width; false with the exception set when no memory holds it.
bool make_window(StreamState& stream, uint16_t ancilla_count) {
    const uint64_t depth = stream.window_depth != 0 ? stream.window_depth
                                                    : derived_depth(stream.detector_count, ancilla_count);
    auto made = SyndromeWindow::create(ancilla_count, depth);
    if (!made) {
        raise_error(made.error());
        return false;
    }
    stream.window.emplace(std::move(*made));
    // Enough for every detector of a window of modest size; larger windows
    // grow it on the rare frames that fire more.
    constexpr uint64_t kActiveReserve = 1 << 16;
    stream.active.reserve(static_cast<size_t>(std::min(ancilla_count * depth, kActiveReserve)));
    return true;
}

// The committed decoder is made by the first frame after set_decoder and
// keeps that frame's ancilla count; false with the exception set when it
// cannot be made (a frame of no ancillas, say).
bool make_committed(StreamState& stream, uint16_t ancilla_count) {
    auto made = CommittedDecoder::create(stream.shot_graph, ancilla_count, stream.commit_rounds, stream.buffer_rounds);
    if (!made) {
        raise_error(made.error());
        return false;
    }
    stream.committed.emplace(std::move(*made));
    return true;
}

bool committed_step(StreamState& stream, OwnedFrame& frame, std::optional<SequenceError>& broken) {
    if (!stream.committed && !make_committed(stream, frame.ancilla_count)) {
        return false;
    }
    CommittedDecoder& decoder = *stream.committed;
    auto decoded = decoder.push_frame(frame.round, frame.detector_events);
    if (!decoded) {
        broken = decoded.error();
        // A frame of round 0 that cut a shot short is the first of the next.
        if (std::holds_alternative<sequence_error::ShotCutShort>(*broken)) {
            frame.observable_flips = decoder.observable_flips();
            frame.shot_part = ShotPart::within;
        } else {
            frame.observable_flips.reset();
            frame.shot_part = ShotPart::skipped;
        }
        return true;
    }
    switch (decoded->status) {
        case FrameStatus::in_shot:
            frame.observable_flips = decoded->observable_flips;
            frame.shot_part = ShotPart::within;
            break;
        case FrameStatus::shot_end:
            frame.observable_flips = decoded->observable_flips;
            frame.shot_part = ShotPart::end;
            break;
        case FrameStatus::skipped:
            // No prediction at all: a mask here would pass for one.
            frame.observable_flips.reset();
            frame.shot_part = ShotPart::skipped;
            break;
    }
    return true;
}

}  // namespace

bool decode_step(StreamState& stream, OwnedFrame& frame, std::optional<SequenceError>& broken) {
    if (stream.shot_graph) {
        return committed_step(stream, frame, broken);
    }
    if (!stream.decoder) {
        return true;
    }
    if (!stream.window && !make_window(stream, frame.ancilla_count)) {
        return false;
    }
    stream.window->push_owned(
        OwnedSyndromeData{frame.detector_events, frame.meas_results, frame.frame_id, frame.timestamp_ns, frame.round});
    stream.window->active_detectors(stream.active);
    frame.observable_flips = stream.active.empty() ? 0 : stream.decoder->decode_detectors(stream.active);
    return true;
}

bool end_of_input(StreamState& stream) {
    if (!stream.committed) {
        return true;
    }
    if (auto ended = stream.committed->end_stream(); !ended) {
        raise_error(ended.error(), nullptr);
        return false;
    }
    return true;
}

}  // namespace veskar::py
