#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "veskar/decoder/union_find.hpp"
#include "veskar/decoder/window_graph.hpp"
#include "veskar/dem/graph.hpp"

namespace veskar {

// Why a committed decoder could not be built.
namespace committed_decoder_error {

struct NoAncillas {};
struct NoCommitRounds {};

}  // namespace committed_decoder_error

using CommittedDecoderError =
    std::variant<DecoderError, committed_decoder_error::NoAncillas, committed_decoder_error::NoCommitRounds>;

std::string message(const CommittedDecoderError& err);

// Why a frame could not be decoded into the shot it claims to belong to.
// Each abandons the shot in progress, if any: `due` is the round that was
// due next, which is also how many frames of that shot are dropped (0: no
// shot was in progress, a shot's first frame was due).
namespace sequence_error {

// A frame whose round is not the one due. Decoding resumes at the next
// frame of round 0.
struct UnexpectedRound {
    uint32_t round;
    uint32_t due;
    uint32_t frames_per_shot;
};
// A frame of round 0 where a later round was due: the shot before it was
// cut short. This frame starts the next shot.
struct ShotCutShort {
    uint32_t due;
    uint32_t frames_per_shot;
};
// A frame whose ancilla count is not the decoder's. Decoding resumes at the
// next frame of round 0 with the decoder's count.
struct AncillaCountChanged {
    uint64_t ancilla_count;
    uint64_t expected;
    uint32_t due;
};
// The input ended inside a shot.
struct StreamEnded {
    uint32_t due;
    uint32_t frames_per_shot;
};

}  // namespace sequence_error

using SequenceError = std::variant<sequence_error::UnexpectedRound, sequence_error::ShotCutShort,
                                   sequence_error::AncillaCountChanged, sequence_error::StreamEnded>;

std::string message(const SequenceError& err);

enum class FrameStatus : uint8_t {
    in_shot,   // observable_flips: what the shot's committed windows have flipped so far
    shot_end,  // observable_flips: the whole shot's prediction
    skipped,   // after a broken shot, before the next frame of round 0: not decoded, mask 0
};

struct FrameDecode {
    uint64_t observable_flips = 0;
    FrameStatus status = FrameStatus::skipped;
};

// Decodes a stream of frames shot by shot, committing the correction a few
// frames at a time, so that the cost per frame stays flat however long the
// shot and a shot's prediction is ready soon after its last frame.
//
// The graph describes one shot of F = ceil(D / A) frames (D detectors, A
// ancillas per frame): frame k carries detectors k*A .. k*A + A - 1, so
// frames are fixed-size chunks of the detector numbering, not necessarily
// the experiment's rounds. Events of the last frame beyond detector D - 1
// are ignored: no mechanism of the model flips them.
//
// A frame of round 0 starts a shot; the rounds must then follow 1 .. F - 1.
// A frame out of that order is never decoded into a shot: the shot in
// progress is abandoned, the frame gets a SequenceError, and later frames
// are skipped until one of round 0 starts a shot (a frame of round 0 that
// cuts a shot short starts the next one itself).
//
// Within a shot (C = commit_rounds, B = buffer_rounds): once C + B frames
// have arrived since the last commit (and the shot goes on), those frames
// alone are decoded as a window; the part of its correction that touches
// the oldest C frames is committed (its observables join the shot's mask,
// and the detectors it crosses into later frames are flipped there, so
// later windows see what it explained), and the window moves on by C. The
// window's open side, the detectors beyond its newest frame, is a boundary
// it may match to; corrections in the buffer or to the open side are left
// for later windows. Edges into committed frames are left out of later
// windows. At the shot's last frame what is pending is decoded with the
// shot's real boundary only. With C + B >= F there is one decode per shot,
// at its last frame, exactly the whole-shot decode.
//
// Each window position's graph and decoder are built once, and positions
// with identical graphs share a decoder; decoding allocates nothing. A
// stream builds one at its first frame, from that frame's ancilla count, and
// feeds it every frame after, so the build is kept to about a pass over the
// model: alike positions are found frame by frame without cutting them (see
// WindowCutter), and one decode per shot decodes on the shot's own graph.
class CommittedDecoder {
   public:
    // `graph` describes one shot (graph->boundary = D detectors).
    static std::expected<CommittedDecoder, CommittedDecoderError> create(std::shared_ptr<const SpacetimeGraph> graph,
                                                                         uint32_t ancilla_count, uint32_t commit_rounds,
                                                                         uint32_t buffer_rounds);

    // One frame: its round and its detector events, one byte per ancilla
    // (non-zero: fired). The ancilla count is detector_events.size().
    std::expected<FrameDecode, SequenceError> push_frame(uint32_t round, std::span<const uint8_t> detector_events);

    // The input has ended: a shot in progress is abandoned and reported.
    // The decoder is then ready for a new stream (round 0 due).
    std::expected<void, SequenceError> end_stream();

    // What the shot in progress has committed so far (after a frame that
    // cut a shot short: what the shot it started has).
    uint64_t observable_flips() const { return observable_flips_; }
    uint32_t ancilla_count() const { return ancilla_count_; }
    uint32_t frames_per_shot() const { return frames_per_shot_; }
    uint32_t commit_rounds() const { return commit_rounds_; }
    uint32_t buffer_rounds() const { return buffer_rounds_; }
    // Decodes per shot, the last one at the shot's last frame.
    uint32_t windows_per_shot() const { return static_cast<uint32_t>(window_decoder_.size()); }
    // Decoders built: window positions with identical graphs share one.
    uint32_t decoder_count() const { return static_cast<uint32_t>(decoders_.size()); }
    // The graph that window `window` (0 .. windows_per_shot() - 1) of a shot
    // is decoded on, shared by the windows alike.
    const WindowGraph& window_graph(uint32_t window) const { return decoders_[window_decoder_[window]].window; }

   private:
    // From this many windows per shot the final window's decoder is warmed
    // as the shot's next-to-last frame arrives, for a prediction sooner
    // after the last. Its state is about a hundred kilobytes: fetching it
    // costs about a microsecond, a few hundredths of a microsecond per
    // frame in such a shot.
    static constexpr uint32_t kWarmFinalWindows = 32;

    struct WindowDecoder {
        UnionFindDecoder decoder;
        WindowGraph window;
        uint32_t first_frame;  // the first window it was built for: frames first_frame .. end_frame - 1
        uint32_t end_frame;
        uint32_t detector_count;   // the window's detectors; the real boundary's node
        uint32_t committed_count;  // those of them in committed frames
    };

    enum class Expect : uint8_t {
        shot_start,  // round 0 due; another round is an error
        resync,      // after an error: skip frames up to the next round 0
        in_shot,     // round next_round_ due
    };

    CommittedDecoder() = default;

    // Builds the decoders of a shot cut into more than one window.
    std::expected<void, DecoderError> plan_windows();
    // Appends a decoder for the window of frames first_frame .. end_frame -
    // 1, `committed` of whose detectors it commits; returns its index.
    std::expected<uint32_t, DecoderError> add_decoder(WindowGraph window, uint32_t first_frame, uint32_t end_frame,
                                                      uint32_t detectors, uint32_t committed);

    FrameDecode take_frame(std::span<const uint8_t> detector_events);
    void start_shot();
    // Abandons a shot in progress; returns the round that was due (0: none).
    uint32_t abandon();
    void decode_window(bool last);

    std::shared_ptr<const SpacetimeGraph> graph_;
    uint32_t detector_count_ = 0;
    uint32_t ancilla_count_ = 0;
    uint32_t frames_per_shot_ = 0;
    uint32_t commit_rounds_ = 0;
    uint32_t buffer_rounds_ = 0;
    std::vector<WindowDecoder> decoders_;
    std::vector<uint32_t> window_decoder_;  // per window of a shot, in order, its decoder

    // The shot's detector events, a bit each, frame k from bit k*A on, with
    // the flips of committed corrections applied; a word to spare at the end.
    std::vector<uint64_t> syndrome_;
    std::vector<uint32_t> fired_;       // a window's fired detectors
    std::vector<uint32_t> correction_;  // a window's correction edges
    uint64_t observable_flips_ = 0;     // committed so far in this shot
    Expect expect_ = Expect::shot_start;
    uint32_t next_round_ = 0;
    uint32_t window_first_frame_ = 0;  // the pending frames start here
    uint32_t window_index_ = 0;
};

}  // namespace veskar
