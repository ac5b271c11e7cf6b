#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "veskar/core/overloaded.hpp"

namespace veskar {

// One round as the window stores it; the window takes ownership on push.
struct OwnedSyndromeData {
    std::vector<uint8_t> detector_events;  // 0 or 1 per ancilla; any length, cut or padded on use
    std::vector<int8_t> meas_results;      // kept for the caller, never read by the window
    uint64_t frame_id = 0;
    uint64_t timestamp_ns = 0;  // 0 when not supplied
    uint32_t round = 0;
};

// Why a window could not be made. The Python layer maps each variant to its
// own exception: ZeroDepth to ValueError, SizeOverflow to OverflowError,
// OutOfMemory to MemoryError.
namespace window_error {

// A depth of 0 would keep no round, or with the eviction rule every round.
struct ZeroDepth {};
// ancilla_count × window_depth detectors cannot all be named by the 32-bit
// flat indices the decoder works with.
struct SizeOverflow {
    uint64_t ancilla_count;
    uint64_t window_depth;
};
// The storage for window_depth rounds could not be reserved.
struct OutOfMemory {
    uint64_t ancilla_count;
    uint64_t window_depth;
};

}  // namespace window_error

using WindowError = std::variant<window_error::ZeroDepth, window_error::SizeOverflow, window_error::OutOfMemory>;

std::string message(const WindowError& err);

// The most recent rounds of detector events, up to a fixed depth, flattened
// into a row-major rounds × ancillas matrix (row 0 the oldest round). Flat
// index i names round row i / ancilla_count and ancilla i % ancilla_count,
// which is the numbering a DEM of the same layout uses for its detectors.
//
// All storage (the round slots and the matrix) is reserved by `create`, so
// pushing allocates nothing beyond what the pushed round already owns.
class SyndromeWindow {
   public:
    // The largest number of detectors a window may hold: flat indices are 32-bit.
    static constexpr uint64_t kMaxDetectors = uint64_t{1} << 32;

    static std::expected<SyndromeWindow, WindowError> create(uint64_t ancilla_count, uint64_t window_depth);

    // Adds the round as the newest row, evicting the oldest round when the
    // window is full, and rebuilds the matrix.
    void push_owned(OwnedSyndromeData&& data);

    // Recomputes the matrix from the rounds held: each row is the round's
    // first ancilla_count events, zero-padded when it has fewer.
    void rebuild_matrix();

    // Flat indices of the fired detectors, ascending.
    std::vector<uint32_t> active_detectors() const;
    // The same into `out` (cleared first), so a caller that keeps `out`
    // between calls does not allocate once it has grown large enough.
    void active_detectors(std::vector<uint32_t>& out) const;

    uint64_t size() const { return count_; }  // rounds held
    bool empty() const { return count_ == 0; }
    bool is_full() const { return count_ == window_depth_; }
    uint64_t window_depth() const { return window_depth_; }
    uint64_t ancilla_count() const { return ancilla_count_; }
    std::span<const uint8_t> matrix() const { return matrix_; }
    // Round `age` of the window, 0 the oldest; `age` < size().
    const OwnedSyndromeData& round_at(uint64_t age) const { return slots_[slot_of(age)]; }

   private:
    SyndromeWindow(uint64_t ancilla_count, uint64_t window_depth)
        : ancilla_count_(ancilla_count), window_depth_(window_depth) {}

    size_t slot_of(uint64_t age) const {
        uint64_t slot = oldest_ + age;
        return static_cast<size_t>(slot >= window_depth_ ? slot - window_depth_ : slot);
    }

    // A ring of window_depth slots, reserved at creation and filled in order;
    // once full, the rounds held start at slot oldest_ and a push overwrites
    // that slot.
    std::vector<OwnedSyndromeData> slots_;
    std::vector<uint8_t> matrix_;
    uint64_t ancilla_count_ = 0;
    uint64_t window_depth_ = 0;
    uint64_t oldest_ = 0;
    uint64_t count_ = 0;
};

}  // namespace veskar
