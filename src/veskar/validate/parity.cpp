#include "veskar/validate/parity.hpp"

namespace veskar {

namespace {

// Walks the run-length code forward as the stabilizer index grows, so the
// whole check is linear in runs plus stabilizers.
class EventCursor {
   public:
    explicit EventCursor(std::span<const uint8_t> runs) : runs_(runs) {}

    // Event of detector `index`; indices must not decrease between calls.
    uint8_t at(uint64_t index) {
        while (run_ < runs_.size() && run_end_ + (runs_[run_] & 0x7F) <= index) {
            run_end_ += runs_[run_] & 0x7F;
            ++run_;
        }
        if (run_ == runs_.size()) {
            return 0;
        }
        return runs_[run_] >> 7;
    }

   private:
    std::span<const uint8_t> runs_;
    size_t run_ = 0;
    uint64_t run_end_ = 0;  // detectors covered by the runs before run_
};

}  // namespace

std::expected<void, VeskarError> check_parity(const SyndromeFrame& frame, const HardwareSchema& schema) {
    const std::span<const int8_t> results = frame.meas_results;
    EventCursor events(frame.detector_events);
    for (size_t index = 0; index < schema.stabilizers.size(); ++index) {
        uint8_t computed = 0;
        for (uint16_t qubit : schema.stabilizers[index].qubits) {
            if (qubit < results.size() && results[qubit] < 1) {
                computed ^= 1;
            }
        }
        if (computed != events.at(index)) {
            return std::unexpected(error::ParityViolation{frame.header.frame_id, index});
        }
    }
    return {};
}

}  // namespace veskar
