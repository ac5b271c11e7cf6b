#include "veskar/decoder/shot_batch.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <utility>

#include "veskar/core/overloaded.hpp"

namespace veskar {

namespace {

uint64_t load_word(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    return word;
}

// The first `bytes` bytes (1 to 8) at p as a little-endian word. Copies of a
// fixed size become one or two loads.
uint64_t load_tail(const uint8_t* p, uint32_t bytes) {
    uint64_t word = 0;
    switch (bytes) {
        case 1:
            std::memcpy(&word, p, 1);
            break;
        case 2:
            std::memcpy(&word, p, 2);
            break;
        case 3:
            std::memcpy(&word, p, 3);
            break;
        case 4:
            std::memcpy(&word, p, 4);
            break;
        case 5:
            std::memcpy(&word, p, 5);
            break;
        case 6:
            std::memcpy(&word, p, 6);
            break;
        case 7:
            std::memcpy(&word, p, 7);
            break;
        default:
            std::memcpy(&word, p, 8);
            break;
    }
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    return word;
}

// Bit 7 of each byte of the result is set where that byte of `word` is nonzero.
uint64_t nonzero_bytes(uint64_t word) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    return (((word & kLow7) + kLow7) | word) & ~kLow7;
}

// "bit-packed shots must have ceil(num_detectors / 8) = 2 columns, not 13"
std::string width_text(const char* rows, const char* count, uint64_t columns, uint64_t expected, BitLayout layout) {
    const bool packed = layout == BitLayout::kPacked;
    return std::string(packed ? "bit-packed " : "") + rows + " must have " + (packed ? "ceil(" : "") + count +
           (packed ? " / 8)" : "") + " = " + std::to_string(expected) + " columns, not " + std::to_string(columns);
}

}  // namespace

std::string message(const ShotBatchError& err) {
    return std::visit(Overloaded{
                          [](const shot_batch_error::ShotWidth& e) {
                              return width_text("shots", "num_detectors", e.columns, e.expected, e.layout);
                          },
                          [](const shot_batch_error::PredictionWidth& e) {
                              return width_text("predictions", "num_observables", e.columns, e.expected, e.layout);
                          },
                          [](const shot_batch_error::RowCounts& e) {
                              return std::to_string(e.shots) + " shots but " + std::to_string(e.predictions) +
                                     " rows for their predictions";
                          },
                      },
                      err);
}

ShotBatchDecoder::ShotBatchDecoder(UnionFindDecoder decoder, uint32_t num_observables)
    : decoder_(std::move(decoder)),
      num_detectors_(static_cast<uint32_t>(std::min<uint64_t>(decoder_.graph()->boundary, decoder_.node_count()))),
      num_observables_(std::max(num_observables, decoder_.observable_count())) {
    fired_.resize(num_detectors_);
    gathered_.resize(num_detectors_);
    single_.resize(num_detectors_);

    // The edges between two detectors, each once, from their lower end.
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (uint32_t e = 0; e < decoder_.compact_edge_count(); ++e) {
        const UnionFindDecoder::CompactEdge edge = decoder_.compact_edge(e);
        const uint32_t lo = std::min(edge.u, edge.v);
        const uint32_t hi = std::max(edge.u, edge.v);
        if (lo != hi && hi < num_detectors_) pairs.emplace_back(lo, hi);
    }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    pair_start_.assign(size_t{num_detectors_} + 1, 0);
    for (const auto& [lo, hi] : pairs) ++pair_start_[lo + 1];
    for (uint32_t d = 0; d < num_detectors_; ++d) pair_start_[d + 1] += pair_start_[d];
    pair_other_.reserve(pairs.size());
    for (const auto& [lo, hi] : pairs) pair_other_.push_back(hi);
    pair_.resize(pairs.size());
}

std::expected<void, ShotBatchError> ShotBatchDecoder::decode_batch(ShotRows shots, PredictionRows predictions) {
    const uint64_t shot_columns = row_columns(num_detectors_, shots.layout);
    if (shots.columns != shot_columns) {
        return std::unexpected(shot_batch_error::ShotWidth{shots.columns, shot_columns, shots.layout});
    }
    const uint64_t prediction_columns = row_columns(num_observables_, predictions.layout);
    if (predictions.columns != prediction_columns) {
        return std::unexpected(
            shot_batch_error::PredictionWidth{predictions.columns, prediction_columns, predictions.layout});
    }
    if (shots.rows != predictions.rows) {
        return std::unexpected(shot_batch_error::RowCounts{shots.rows, predictions.rows});
    }
    if (shots.layout == BitLayout::kPacked) {
        decode_rows<BitLayout::kPacked>(shots, predictions);
    } else {
        decode_rows<BitLayout::kBytes>(shots, predictions);
    }
    return {};
}

template <BitLayout kShotLayout>
void ShotBatchDecoder::decode_rows(const ShotRows& shots, const PredictionRows& predictions) {
    for (uint64_t r = 0; r < shots.rows; ++r) {
        const uint8_t* row = shots.row(r);
        if (shots.column_stride != 1) {
            for (uint64_t c = 0; c < shots.columns; ++c) {
                gathered_[c] = row[static_cast<int64_t>(c) * shots.column_stride];
            }
            row = gathered_.data();
        }
        const uint32_t fired = kShotLayout == BitLayout::kPacked ? list_fired_packed(row) : list_fired_bytes(row);
        write_prediction(predictions, r, fired == 0 ? 0 : predict(fired));
    }
}

inline uint32_t ShotBatchDecoder::list_fired_packed(const uint8_t* row) {
    uint32_t* const fired = fired_.data();
    uint32_t count = 0;
    const uint32_t whole_words = num_detectors_ / 64;
    for (uint32_t w = 0; w < whole_words; ++w) {
        for (uint64_t word = load_word(row + 8 * w); word != 0; word &= word - 1) {
            fired[count++] = 64 * w + static_cast<uint32_t>(std::countr_zero(word));
        }
    }
    // The last, partial word, cut to the row's width so that padding bits
    // never count.
    if (const uint32_t rest = num_detectors_ % 64; rest != 0) {
        uint64_t word = load_tail(row + 8 * whole_words, (rest + 7) / 8) & (~uint64_t{0} >> (64 - rest));
        for (; word != 0; word &= word - 1) {
            fired[count++] = 64 * whole_words + static_cast<uint32_t>(std::countr_zero(word));
        }
    }
    return count;
}

inline uint32_t ShotBatchDecoder::list_fired_bytes(const uint8_t* row) {
    uint32_t* const fired = fired_.data();
    uint32_t count = 0;
    // Eight detectors per word: one flag bit per nonzero byte.
    const uint32_t whole_words = num_detectors_ / 8;
    for (uint32_t w = 0; w < whole_words; ++w) {
        for (uint64_t flags = nonzero_bytes(load_word(row + 8 * w)); flags != 0; flags &= flags - 1) {
            fired[count++] = 8 * w + static_cast<uint32_t>(std::countr_zero(flags)) / 8;
        }
    }
    for (uint32_t d = 8 * whole_words; d < num_detectors_; ++d) {
        if (row[d] != 0) fired[count++] = d;
    }
    return count;
}

inline uint64_t ShotBatchDecoder::predict(uint32_t fired_count) {
    const std::span<const uint32_t> fired(fired_.data(), fired_count);
    KeptFlips* kept = nullptr;
    if (fired_count == 1) {
        kept = &single_[fired[0]];
    } else if (fired_count == 2) {
        const uint32_t* const first = pair_other_.data() + pair_start_[fired[0]];
        const uint32_t* const last = pair_other_.data() + pair_start_[fired[0] + 1];
        const uint32_t* const at = std::find(first, last, fired[1]);
        if (at != last) kept = &pair_[static_cast<size_t>(at - pair_other_.data())];
    }
    if (kept == nullptr) return decoder_.decode_detectors(fired);
    if (!kept->known) {
        kept->flips = decoder_.decode_detectors(fired);
        kept->known = 1;
    }
    return kept->flips;
}

inline void ShotBatchDecoder::write_prediction(const PredictionRows& predictions, uint64_t r, uint64_t flips) const {
    uint8_t* const row = predictions.row(r);
    for (uint64_t c = 0; c < predictions.columns; ++c) {
        uint8_t value = 0;
        if (predictions.layout == BitLayout::kPacked) {
            if (c < 8) value = static_cast<uint8_t>(flips >> (8 * c));
        } else {
            if (c < 64) value = static_cast<uint8_t>((flips >> c) & 1);
        }
        row[static_cast<int64_t>(c) * predictions.column_stride] = value;
    }
}

}  // namespace veskar
