// Models whose expansion would need more memory than a decoder can be given
// are refused before anything is expanded, whatever their text costs.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

std::string repeat_of(const std::string& count, const std::string& body) {
    return "repeat " + count + " {\n" + body + "\n}\n";
}

std::string error_with_targets(int targets) {
    std::string line = "error(0.1)";
    for (int i = 0; i < targets; ++i) line += " D" + std::to_string(i % 50);
    return line;
}

// Parses in a child process whose address space is capped at 1 GiB, so a
// model that is expanded instead of refused fails this test rather than
// the machine. (AddressSanitizer reserves terabytes of shadow memory up
// front, so there the cap is left off and only the outcome is checked.)
void expect_refused_within_a_gigabyte(const std::string& text, const std::string& expected_message) {
    auto parse_in_child = [&] {
        if (!kAddressSanitizer) {
            rlimit limit{uint64_t{1} << 30, uint64_t{1} << 30};
            setrlimit(RLIMIT_AS, &limit);
        }
        auto model = DetectorErrorModel::parse(text);
        _exit(!model && message(model.error()) == expected_message ? 0 : 1);
    };
    EXPECT_EXIT(parse_in_child(), testing::ExitedWithCode(0), "") << text.substr(0, 80);
}

struct HugeCase {
    const char* name;
    std::string text;
    std::string message;
};

void PrintTo(const HugeCase& c, std::ostream* os) {
    *os << c.name;
}

class DemExpansionLimit : public testing::TestWithParam<HugeCase> {};

TEST_P(DemExpansionLimit, RefusedBeforeExpanding) {
    expect_refused_within_a_gigabyte(GetParam().text, GetParam().message);
}

// Each of these was accepted while the limit counted instructions up to
// 2^28 and ignored their targets: the first alone would have asked for
// about 50 GB.
INSTANTIATE_TEST_SUITE_P(
    Models, DemExpansionLimit,
    testing::Values(
        HugeCase{"OneTargetPerError", repeat_of("268435455", "error(0.1) D0"), "invalid repeat count '268435455'"},
        HugeCase{"NoTargets", repeat_of("200000000", "error(0.1)"), "invalid repeat count '200000000'"},
        HugeCase{"ManyTargets", repeat_of("10000000", error_with_targets(100)), "invalid repeat count '10000000'"},
        HugeCase{"Declarations", repeat_of("100000000", "detector(1, 2) D0\nshift_detectors 1"),
                 "invalid repeat count '100000000'"},
        HugeCase{"SpreadOverBlocks", repeat_of("5000000", "error(0.1) D0") + repeat_of("5000000", "error(0.1) D1"),
                 "invalid repeat count '5000000'"}),
    [](const testing::TestParamInfo<HugeCase>& info) { return info.param.name; });

// The limit is 2^23 units: one per expanded instruction and one per target.
// A body of one error with 1023 targets costs 1024 units per repetition and
// the block one more for itself.
TEST(DemExpansionLimit, TargetsCountTowardsTheLimit) {
    const std::string body = error_with_targets(1023);
    auto largest = DetectorErrorModel::parse(repeat_of("8191", body));
    ASSERT_TRUE(largest) << message(largest.error());
    EXPECT_EQ(largest->errors.size(), 8191u);
    EXPECT_EQ(largest->errors.back().detectors.size(), 1023u);

    auto over = DetectorErrorModel::parse(repeat_of("8192", body));
    ASSERT_FALSE(over);
    EXPECT_EQ(message(over.error()), "invalid repeat count '8192'");
}

}  // namespace
}  // namespace veskar
