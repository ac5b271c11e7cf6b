#include "veskar/decoder/committed_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <utility>

#include "veskar/core/event_bits.hpp"
#include "veskar/core/overloaded.hpp"
#include "veskar/decoder/window_graph.hpp"

namespace veskar {

namespace {

// The `count` bits of `bits` from bit `at` on, as one word (count <= 64);
// the array has a word to spare past its last bit.
uint64_t bits_at(const uint64_t* bits, uint64_t at, uint32_t count) {
    const uint64_t* const word = bits + at / 64;
    const uint32_t shift = at % 64;
    uint64_t value = word[0] >> shift;
    if (shift != 0) value |= word[1] << (64 - shift);
    return count == 64 ? value : value & ((uint64_t{1} << count) - 1);
}

// XORs `value` into the 64 bits of `bits` from bit `at` on.
void xor_bits_at(uint64_t* bits, uint64_t at, uint64_t value) {
    uint64_t* const word = bits + at / 64;
    const uint32_t shift = at % 64;
    word[0] ^= value << shift;
    if (shift != 0) word[1] ^= value >> (64 - shift);
}

// The window's fired detectors, ascending: the set bits among `count` bits
// from bit `at` on. `fired` has room for `count`.
uint32_t collect_fired(const uint64_t* bits, uint64_t at, uint32_t count, uint32_t* fired) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; i += 64) {
        for (uint64_t word = bits_at(bits, at + i, std::min<uint32_t>(64, count - i)); word != 0; word &= word - 1) {
            fired[n++] = i + static_cast<uint32_t>(std::countr_zero(word));
        }
    }
    return n;
}

std::string dropped(uint32_t due) {
    return "the shot's first " + std::to_string(due) + (due == 1 ? " frame is" : " frames are") + " dropped";
}

std::string due_round(uint32_t due, uint32_t frames_per_shot) {
    return "round " + std::to_string(due) + " was due (shots have " + std::to_string(frames_per_shot) +
           " frames, rounds 0 to " + std::to_string(frames_per_shot - 1) + ")";
}

constexpr const char* kResume = "frames are skipped up to the next one of round 0";

}  // namespace

std::string message(const CommittedDecoderError& err) {
    return std::visit(Overloaded{
                          [](const DecoderError& e) { return message(e); },
                          [](const committed_decoder_error::NoAncillas&) {
                              return std::string("committed decoding needs frames of at least one ancilla");
                          },
                          [](const committed_decoder_error::NoCommitRounds&) {
                              return std::string("committed decoding needs commit_rounds of at least 1");
                          },
                      },
                      err);
}

std::string message(const SequenceError& err) {
    using std::to_string;
    return std::visit(
        Overloaded{
            [](const sequence_error::UnexpectedRound& e) {
                if (e.due == 0) {
                    return "frame of round " + to_string(e.round) + " where a shot's first frame (round 0) was due; " +
                           kResume;
                }
                return "frame of round " + to_string(e.round) + " where " + due_round(e.due, e.frames_per_shot) + ": " +
                       dropped(e.due) + " and " + kResume;
            },
            [](const sequence_error::ShotCutShort& e) {
                return "frame of round 0 where " + due_round(e.due, e.frames_per_shot) + ": " + dropped(e.due) +
                       " and this frame starts the next shot";
            },
            [](const sequence_error::AncillaCountChanged& e) {
                return "frame of " + to_string(e.ancilla_count) + " ancillas where the decoder takes " +
                       to_string(e.expected) + ": " + (e.due == 0 ? std::string() : dropped(e.due) + " and ") +
                       kResume + " with " + to_string(e.expected) + " ancillas";
            },
            [](const sequence_error::StreamEnded& e) {
                return "stream ended where " + due_round(e.due, e.frames_per_shot) + ": " + dropped(e.due);
            },
        },
        err);
}

std::expected<CommittedDecoder, CommittedDecoderError> CommittedDecoder::create(
    std::shared_ptr<const SpacetimeGraph> graph, uint32_t ancilla_count, uint32_t commit_rounds,
    uint32_t buffer_rounds) {
    if (!graph) return std::unexpected(DecoderError{decoder_error::NoGraph{}});
    if (ancilla_count == 0) return std::unexpected(committed_decoder_error::NoAncillas{});
    if (commit_rounds == 0) return std::unexpected(committed_decoder_error::NoCommitRounds{});
    if (graph->node_count() >= std::numeric_limits<uint32_t>::max()) {
        return std::unexpected(DecoderError{decoder_error::TooManyNodes{graph->node_count()}});
    }

    CommittedDecoder decoder;
    decoder.detector_count_ = static_cast<uint32_t>(std::min(graph->boundary, graph->node_count()));
    decoder.ancilla_count_ = ancilla_count;
    // A model without detectors still has shots, of one frame.
    decoder.frames_per_shot_ = std::max<uint32_t>(
        1, static_cast<uint32_t>((uint64_t{decoder.detector_count_} + ancilla_count - 1) / ancilla_count));
    decoder.commit_rounds_ = commit_rounds;
    decoder.buffer_rounds_ = buffer_rounds;
    decoder.graph_ = std::move(graph);

    const uint64_t frames = decoder.frames_per_shot_;
    if (uint64_t{commit_rounds} + buffer_rounds >= frames) {
        // One window holds the whole shot: its decoder is the whole-shot
        // decoder, on the shot's own graph.
        auto made = decoder.add_decoder(WindowGraph{decoder.graph_, {}}, 0, decoder.frames_per_shot_,
                                        decoder.detector_count_, decoder.detector_count_);
        if (!made) return std::unexpected(made.error());
        decoder.window_decoder_.push_back(0);
    } else if (auto planned = decoder.plan_windows(); !planned) {
        return std::unexpected(planned.error());
    }

    uint32_t most_nodes = 0;
    uint32_t most_detectors = 0;
    for (const WindowDecoder& w : decoder.decoders_) {
        most_nodes = std::max(most_nodes, w.decoder.node_count());
        most_detectors = std::max(most_detectors, w.detector_count);
    }
    decoder.syndrome_.assign((uint64_t{frames} * ancilla_count + 63) / 64 + 1, 0);
    decoder.fired_.resize(std::max<uint32_t>(1, most_detectors));
    decoder.correction_.reserve(most_nodes);
    return decoder;
}

std::expected<void, DecoderError> CommittedDecoder::plan_windows() {
    // Windows of C + B frames, C apart, while the shot goes on past them;
    // then the last, from where they stopped to the shot's end. Away from
    // the shot's ends the windows of a repeated block are alike: they share
    // one decoder, found by the window's key and confirmed frame by frame.
    const uint64_t frames = frames_per_shot_;
    const uint64_t span = uint64_t{commit_rounds_} + buffer_rounds_;
    const WindowCutter cutter(*graph_, ancilla_count_);
    std::unordered_multimap<uint64_t, uint32_t> by_key;
    for (uint64_t first = 0;; first += commit_rounds_) {
        const bool last = first + span >= frames;
        const auto from = static_cast<uint32_t>(first);
        const auto to = static_cast<uint32_t>(last ? frames : first + span);
        const uint64_t key = cutter.window_key(from, to);
        // Past detector D - 1 there are none, in the last frame.
        const auto detectors = static_cast<uint32_t>(
            std::min(uint64_t{to} * ancilla_count_, uint64_t{detector_count_}) - uint64_t{from} * ancilla_count_);
        const uint32_t committed = last ? detectors : commit_rounds_ * ancilla_count_;
        uint32_t index = UINT32_MAX;
        for (auto [at, stop] = by_key.equal_range(key); at != stop && index == UINT32_MAX; ++at) {
            const WindowDecoder& w = decoders_[at->second];
            if (w.committed_count == committed && w.end_frame - w.first_frame == to - from &&
                cutter.same_window(w.first_frame, from, to - from)) {
                index = at->second;
            }
        }
        if (index == UINT32_MAX) {
            auto made = add_decoder(cutter.cut(from, to), from, to, detectors, committed);
            if (!made) return std::unexpected(made.error());
            index = *made;
            by_key.emplace(key, index);
        }
        window_decoder_.push_back(index);
        if (last) return {};
    }
}

std::expected<uint32_t, DecoderError> CommittedDecoder::add_decoder(WindowGraph window, uint32_t first_frame,
                                                                    uint32_t end_frame, uint32_t detectors,
                                                                    uint32_t committed) {
    auto uf = UnionFindDecoder::create(window.graph);
    if (!uf) return std::unexpected(uf.error());
    decoders_.push_back(WindowDecoder{std::move(*uf), std::move(window), first_frame, end_frame, detectors, committed});
    return static_cast<uint32_t>(decoders_.size() - 1);
}

std::expected<FrameDecode, SequenceError> CommittedDecoder::push_frame(uint32_t round,
                                                                       std::span<const uint8_t> detector_events) {
    if (expect_ == Expect::resync && round != 0) return FrameDecode{0, FrameStatus::skipped};
    if (detector_events.size() != ancilla_count_) {
        const uint32_t due = abandon();
        return std::unexpected(sequence_error::AncillaCountChanged{detector_events.size(), ancilla_count_, due});
    }
    if (expect_ == Expect::in_shot) {
        if (round != next_round_) {
            const uint32_t due = abandon();
            if (round != 0) return std::unexpected(sequence_error::UnexpectedRound{round, due, frames_per_shot_});
            // The new shot is whole from here: keep it.
            start_shot();
            take_frame(detector_events);
            return std::unexpected(sequence_error::ShotCutShort{due, frames_per_shot_});
        }
    } else {
        if (round != 0) {
            abandon();
            return std::unexpected(sequence_error::UnexpectedRound{round, 0, frames_per_shot_});
        }
        start_shot();
    }
    return take_frame(detector_events);
}

std::expected<void, SequenceError> CommittedDecoder::end_stream() {
    const bool in_shot = expect_ == Expect::in_shot;
    const uint32_t due = next_round_;
    expect_ = Expect::shot_start;
    if (in_shot) return std::unexpected(sequence_error::StreamEnded{due, frames_per_shot_});
    return {};
}

void CommittedDecoder::start_shot() {
    // Committed corrections may have flipped detectors of frames an
    // abandoned shot never reached.
    std::fill(syndrome_.begin(), syndrome_.end(), 0);
    observable_flips_ = 0;
    next_round_ = 0;
    window_first_frame_ = 0;
    window_index_ = 0;
    expect_ = Expect::in_shot;
}

uint32_t CommittedDecoder::abandon() {
    const uint32_t due = expect_ == Expect::in_shot ? next_round_ : 0;
    expect_ = Expect::resync;
    return due;
}

FrameDecode CommittedDecoder::take_frame(std::span<const uint8_t> detector_events) {
    // Events are XORed in: committed corrections may have flipped some
    // already. Written 64 bits at a time.
    const uint64_t first_bit = uint64_t{next_round_} * ancilla_count_;
    const uint8_t* const events = detector_events.data();
    for (uint32_t i = 0; i < ancilla_count_; i += 64) {
        const uint32_t count = std::min<uint32_t>(64, ancilla_count_ - i);
        xor_bits_at(syndrome_.data(), first_bit + i, bytes_to_word(std::span(events + i, count)));
    }
    ++next_round_;
    if (next_round_ == frames_per_shot_) {
        decode_window(true);
        expect_ = Expect::shot_start;
        return FrameDecode{observable_flips_, FrameStatus::shot_end};
    }
    // The last frame is next: in a long shot the final window's decoder has
    // not run since the shot before, and its state has left the cache.
    if (next_round_ + 1 == frames_per_shot_ && windows_per_shot() >= kWarmFinalWindows) {
        decoders_[window_decoder_.back()].decoder.warm();
    }
    if (next_round_ - window_first_frame_ == uint64_t{commit_rounds_} + buffer_rounds_) {
        decode_window(false);
        window_first_frame_ += commit_rounds_;
        ++window_index_;
    }
    return FrameDecode{observable_flips_, FrameStatus::in_shot};
}

void CommittedDecoder::decode_window(bool last) {
    WindowDecoder& window = decoders_[window_decoder_[window_index_]];
    const uint64_t first_bit = uint64_t{window_first_frame_} * ancilla_count_;
    const uint32_t count = collect_fired(syndrome_.data(), first_bit, window.detector_count, fired_.data());
    if (count == 0) return;
    if (last) {
        observable_flips_ ^= window.decoder.decode_detectors(std::span(fired_.data(), count));
        return;
    }
    correction_.clear();
    window.decoder.decode_correction(std::span(fired_.data(), count), correction_, window.committed_count);
    // Commit what touches the oldest frames. Boundary nodes come after the
    // window's detectors, so an edge's lower end is a detector.
    const uint32_t committed = window.committed_count;
    const uint32_t detectors = window.detector_count;
    for (uint32_t e : correction_) {
        const UnionFindDecoder::CompactEdge edge = window.decoder.compact_edge(e);
        const uint32_t near = std::min(edge.u, edge.v);
        const uint32_t far = std::max(edge.u, edge.v);
        if (near >= committed) continue;  // the buffer's: the next window decides it again
        observable_flips_ ^= edge.observables;
        if (far < committed || far == detectors) continue;
        // The edge explains an event of a later frame too: flip it there.
        const uint32_t flipped = far < detectors ? far : window.window.open_detectors[far - detectors - 1];
        syndrome_[(first_bit + flipped) / 64] ^= uint64_t{1} << ((first_bit + flipped) % 64);
    }
}

}  // namespace veskar
