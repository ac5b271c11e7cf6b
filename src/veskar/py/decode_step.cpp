// The decode step of a stream with a decoder attached: the frame goes into
// the stream's window, the window is decoded and the decoder's observable
// flips replace the frame's own.
//
// This runs once per frame, so it keeps to what the window round itself
// needs: the two copied vectors. The active list is the stream's reused
// buffer, and decoding it directly skips the corrections list that a full
// decoder result would build only to be dropped.

#include <algorithm>

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

}  // namespace

bool decode_step(StreamState& stream, OwnedFrame& frame) {
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

}  // namespace veskar::py
