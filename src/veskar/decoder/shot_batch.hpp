#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "veskar/decoder/union_find.hpp"

namespace veskar {

// How a row holds its bits.
enum class BitLayout : uint8_t {
    // One byte per bit; any nonzero byte is a 1. Predictions are written 0 or 1.
    kBytes,
    // Eight bits per byte, bit k of a row in byte k / 8 at weight 1 << (k % 8)
    // (NumPy's packbits with bitorder="little", Stim's b8). Bits past the
    // row's width are ignored on input and written 0.
    kPacked,
};

// Rows of bytes laid out as a NumPy array lays them out: column c of row r
// at data + r * row_stride + c * column_stride, strides in bytes, of any sign.
template <class Byte>
struct StridedRows {
    Byte* data = nullptr;
    uint64_t rows = 0;
    uint64_t columns = 0;
    int64_t row_stride = 0;
    int64_t column_stride = 1;
    BitLayout layout = BitLayout::kPacked;

    Byte* row(uint64_t r) const { return data + static_cast<int64_t>(r) * row_stride; }
};

// One shot per row, one bit per detector.
using ShotRows = StridedRows<const uint8_t>;
// One prediction per row, one bit per observable.
using PredictionRows = StridedRows<uint8_t>;

// Columns a row of `bits` bits takes in `layout`.
constexpr uint64_t row_columns(uint64_t bits, BitLayout layout) {
    return layout == BitLayout::kPacked ? (bits + 7) / 8 : bits;
}

// Why a batch could not be decoded; nothing was written.
namespace shot_batch_error {

struct ShotWidth {
    uint64_t columns;
    uint64_t expected;
    BitLayout layout;
};
struct PredictionWidth {
    uint64_t columns;
    uint64_t expected;
    BitLayout layout;
};
struct RowCounts {
    uint64_t shots;
    uint64_t predictions;
};

}  // namespace shot_batch_error

using ShotBatchError =
    std::variant<shot_batch_error::ShotWidth, shot_batch_error::PredictionWidth, shot_batch_error::RowCounts>;

std::string message(const ShotBatchError& err);

// Decodes whole shots, many at a time, through a Union-Find decoder.
//
// A shot's fired detectors are listed in increasing order and handed to the
// decoder's decode_detectors, so a batch predicts exactly what that call
// predicts shot by shot. Most shots of a useful code are nearly quiet, and
// for them the fixed cost of a decode would dominate: a shot without a fired
// detector predicts no flip, and a shot with one fired detector, or with two
// joined by an edge, takes the decoder's answer for that syndrome, asked
// once, on first need, and kept. Everything is allocated at construction;
// decoding allocates nothing. A batch rewrites the decoder's working state
// and the kept answers, so one object decodes one batch at a time.
class ShotBatchDecoder {
   public:
    // `num_observables` is the width of a prediction (the model's observable
    // count; at least the decoder's own is kept). Observables from 64 on
    // have no bit in the decoder's mask and are never predicted flipped.
    ShotBatchDecoder(UnionFindDecoder decoder, uint32_t num_observables);

    // The graph's detectors: every node before its boundary index.
    uint32_t num_detectors() const { return num_detectors_; }
    uint32_t num_observables() const { return num_observables_; }

    // Decodes row r of `shots` into row r of `predictions`, for every row.
    // Widths and row counts are checked first.
    std::expected<void, ShotBatchError> decode_batch(ShotRows shots, PredictionRows predictions);

    const UnionFindDecoder& decoder() const { return decoder_; }

   private:
    // An answer of the decoder kept for a small syndrome.
    struct KeptFlips {
        uint64_t flips = 0;
        uint8_t known = 0;
    };

    template <BitLayout kShotLayout>
    void decode_rows(const ShotRows& shots, const PredictionRows& predictions);
    [[gnu::always_inline]] inline uint32_t list_fired_packed(const uint8_t* row);
    [[gnu::always_inline]] inline uint32_t list_fired_bytes(const uint8_t* row);
    [[gnu::always_inline]] inline uint64_t predict(uint32_t fired_count);
    [[gnu::always_inline]] inline void write_prediction(const PredictionRows& predictions, uint64_t r,
                                                        uint64_t flips) const;

    UnionFindDecoder decoder_;
    uint32_t num_detectors_ = 0;
    uint32_t num_observables_ = 0;
    std::vector<uint32_t> fired_;    // one entry per detector: room for any shot
    std::vector<uint8_t> gathered_;  // a row whose columns are not adjacent, made so

    // Kept answers: one per detector, and one per edge between two
    // detectors, listed from its lower end: the higher ends of detector d's
    // edges are pair_other_[pair_start_[d] .. pair_start_[d + 1]), ascending.
    std::vector<KeptFlips> single_;
    std::vector<uint32_t> pair_start_;
    std::vector<uint32_t> pair_other_;
    std::vector<KeptFlips> pair_;
};

}  // namespace veskar
