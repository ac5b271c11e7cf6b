#pragma once

#include <cstdint>
#include <vector>

#include "veskar/core/window.hpp"

namespace veskar {

// The Pauli code every correction of this system carries; which operator it
// stands for is left to the consumer.
inline constexpr uint8_t kCorrectionPauli = 3;

struct LogicalCorrection {
    uint8_t logical_id = 0;  // observable index, 0..63
    uint8_t pauli = kCorrectionPauli;

    bool operator==(const LogicalCorrection&) const = default;
};

inline constexpr double kConfidenceNothingToDecode = 1.0;
inline constexpr double kConfidenceDecoded = 0.9;

struct DecoderResult {
    std::vector<LogicalCorrection> corrections;  // one per set bit of observable_flips, ascending
    double confidence = kConfidenceNothingToDecode;
    uint64_t observable_flips = 0;  // bit k = observable k predicted flipped
};

// Builds the result for a predicted flip mask: one correction per set bit.
DecoderResult decoder_result(uint64_t observable_flips, double confidence);

class Decoder {
   public:
    virtual ~Decoder() = default;

    // Predicts the observable flips of the window's fired detectors, whose
    // flat window indices are taken as the decoding graph's node indices.
    // Decoding rewrites the decoder's working state, so one decoder runs one
    // decode at a time.
    virtual DecoderResult decode_window(const SyndromeWindow& window) = 0;

   protected:
    Decoder() = default;
    Decoder(const Decoder&) = default;
    Decoder(Decoder&&) = default;
    Decoder& operator=(const Decoder&) = default;
    Decoder& operator=(Decoder&&) = default;
};

}  // namespace veskar
