#include <gtest/gtest.h>

#include "support/tolm_builder.hpp"
#include "veskar/validate/parity.hpp"
#include "veskar/validate/schema_consistency.hpp"
#include "veskar/validate/timing.hpp"

namespace veskar {
namespace {

// A frame viewing the given sections; the vectors must outlive it.
SyndromeFrame frame_over(const std::vector<uint8_t>& runs, const std::vector<int8_t>& results,
                         const std::vector<uint8_t>& timing_bytes = {}) {
    SyndromeFrame frame;
    frame.header.frame_id = 41;
    frame.header.ancilla_count = static_cast<uint16_t>(results.size());
    frame.header.qubit_count = 9;
    frame.header.code_type = 1;
    frame.detector_events = runs;
    frame.meas_results = results;
    frame.timing_offsets.bytes = timing_bytes;
    return frame;
}

std::vector<uint8_t> timing(std::initializer_list<uint16_t> offsets) {
    std::vector<uint8_t> bytes;
    for (uint16_t t : offsets) testing_support::put_u16(bytes, t);
    return bytes;
}

std::string outcome(const std::expected<void, VeskarError>& result) {
    return result ? "ok" : message(result.error());
}

TEST(TimingCheck, FailsAtTheFirstOffsetAboveTenMicroseconds) {
    std::vector<int8_t> results(3, 1);
    EXPECT_EQ(outcome(check_timing(frame_over({}, results))), "ok");
    auto at_limit = timing({10000, 0, 10000});
    EXPECT_EQ(outcome(check_timing(frame_over({}, results, at_limit))), "ok");
    auto over = timing({10000, 10001, 65535});
    EXPECT_EQ(outcome(check_timing(frame_over({}, results, over))),
              "timing offset out of bounds: ancilla 1, offset 10001 ns");
}

HardwareSchema schema(uint16_t ancillas, uint16_t qubits, std::string code_type) {
    HardwareSchema s;
    s.ancilla_count = ancillas;
    s.qubit_count = qubits;
    s.code_type = std::move(code_type);
    return s;
}

struct ConsistencyCase {
    HardwareSchema schema;
    uint8_t frame_code;
    std::string expected;
};

class SchemaConsistency : public testing::TestWithParam<ConsistencyCase> {};

TEST_P(SchemaConsistency, ComparesAncillasThenQubitsThenKnownCodeWords) {
    std::vector<int8_t> results(16, 1);
    SyndromeFrame frame = frame_over({}, results);
    frame.header.code_type = GetParam().frame_code;
    EXPECT_EQ(outcome(check_schema_consistency(frame, GetParam().schema)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SchemaConsistency,
    testing::Values(ConsistencyCase{schema(17, 10, "surface"), 1,
                                    "frame/schema mismatch on ancilla_count: schema expects 17, frame has 16"},
                    ConsistencyCase{schema(16, 10, "surface"), 1,
                                    "frame/schema mismatch on qubit_count: schema expects 10, frame has 9"},
                    ConsistencyCase{schema(16, 9, "surface_code"), 1, "ok"},
                    ConsistencyCase{schema(16, 9, "repetition"), 1,
                                    "frame/schema mismatch on code_type: schema expects 4, frame has 1"},
                    ConsistencyCase{schema(16, 9, "custom"), 1,
                                    "frame/schema mismatch on code_type: schema expects 255, frame has 1"},
                    ConsistencyCase{schema(16, 9, "Custom"), 1,
                                    "frame/schema mismatch on code_type: schema expects 255, frame has 1"},
                    ConsistencyCase{schema(16, 9, "fiber_bundle"), 8, "ok"},
                    ConsistencyCase{schema(16, 9, "Surface"), 7, "ok"},
                    ConsistencyCase{schema(16, 9, "surface code"), 7, "ok"},
                    ConsistencyCase{schema(16, 9, ""), 200, "ok"}));

struct ParityCase {
    std::vector<uint8_t> runs;
    std::vector<int8_t> results;
    std::vector<std::vector<uint16_t>> stabilizers;
    std::string expected;
};

class Parity : public testing::TestWithParam<ParityCase> {};

TEST_P(Parity, RecomputesEachStabilizerAgainstItsDetectorEvent) {
    HardwareSchema s;
    for (const auto& qubits : GetParam().stabilizers) s.stabilizers.push_back({0, StabilizerType::Z, qubits});
    EXPECT_EQ(outcome(check_parity(frame_over(GetParam().runs, GetParam().results), s)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Parity,
                         testing::Values(
                             // No stabilizers: nothing to check.
                             ParityCase{{}, {0, 0}, {}, "ok"},
                             // Results 1, 0, -1 over one stabilizer: two results below 1, parity 0.
                             ParityCase{{}, {1, 0, -1}, {{0, 1, 2}}, "ok"},
                             // No runs means every event is 0; the second stabilizer computes 1.
                             ParityCase{{}, {1, 0}, {{0}, {1}}, "parity violation in frame 41 at stabilizer index 1"},
                             // 0x83 0x02: detectors 0..2 fired, 3 and 4 quiet; empty runs cover nothing.
                             ParityCase{{0x80, 0x83, 0x00, 0x02}, {0, 0, 0, 1, 1}, {{0}, {1}, {2}, {3}, {4}}, "ok"},
                             ParityCase{{0x83, 0x02},
                                        {0, 0, 1, 1, 1},
                                        {{0}, {1}, {2}, {3}, {4}},
                                        "parity violation in frame 41 at stabilizer index 2"},
                             // Qubit indices past the results are ignored; an empty stabilizer has parity 0.
                             ParityCase{{0x01, 0x81}, {1, 0}, {{7, 9}, {1, 300}}, "ok"},
                             ParityCase{{0x81}, {1}, {{}}, "parity violation in frame 41 at stabilizer index 0"},
                             // Events past the last stabilizer are not examined.
                             ParityCase{{0x01, 0xFF}, {1}, {{0}}, "ok"}));

}  // namespace
}  // namespace veskar
