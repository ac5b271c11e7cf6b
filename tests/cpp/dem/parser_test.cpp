#include "veskar/dem/parser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace veskar {
namespace {

using Dets = std::vector<uint32_t>;
using Obs = std::vector<uint8_t>;

DetectorErrorModel parse_ok(std::string_view text) {
    auto model = DetectorErrorModel::parse(text);
    EXPECT_TRUE(model.has_value()) << "parse of:\n" << text << "\nfailed: " << message(model.error());
    return model.has_value() ? std::move(*model) : DetectorErrorModel{};
}

std::string parse_failure(std::string_view text) {
    auto model = DetectorErrorModel::parse(text);
    if (model.has_value()) return "(accepted)";
    return message(model.error());
}

// ---------------------------------------------------------------------------
// Accepted text: the error lists and derived counts.

struct ErrorView {
    Dets detectors;
    Obs observables;
    double probability;
};

struct AcceptCase {
    const char* name;
    std::string text;
    std::vector<ErrorView> errors;
    uint64_t detector_count;
    uint64_t observable_count;
};

void PrintTo(const AcceptCase& c, std::ostream* os) {
    *os << c.name;
}

class DemParserAccepts : public testing::TestWithParam<AcceptCase> {};

TEST_P(DemParserAccepts, ErrorsAndCounts) {
    const AcceptCase& c = GetParam();
    DetectorErrorModel model = parse_ok(c.text);
    ASSERT_EQ(model.errors.size(), c.errors.size());
    for (size_t i = 0; i < c.errors.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(model.errors[i].detectors, c.errors[i].detectors);
        EXPECT_EQ(model.errors[i].observables, c.errors[i].observables);
        EXPECT_DOUBLE_EQ(model.errors[i].probability, c.errors[i].probability);
    }
    EXPECT_EQ(model.detector_count, c.detector_count);
    EXPECT_EQ(model.observable_count, c.observable_count);
}

INSTANTIATE_TEST_SUITE_P(
    Dialect, DemParserAccepts,
    testing::Values(
        AcceptCase{"Empty", "", {}, 0, 0},
        AcceptCase{"CommentsAndBlanks", "# a comment\n\n   \n\t# error(0.1) D0\n", {}, 0, 0},
        AcceptCase{"TwoDetectors", "error(0.01) D3 D7", {{{3, 7}, {}, 0.01}}, 8, 0},
        AcceptCase{"SeparatedObservable", "error(0.01) D0 ^ L2", {{{0}, {2}, 0.01}}, 1, 3},
        AcceptCase{"ObservableBesideDetector", "error(0.1) D2 L0", {{{2}, {0}, 0.1}}, 3, 1},
        AcceptCase{"ObservableFirst", "error(0.1) L1 D4", {{{4}, {1}, 0.1}}, 5, 2},
        AcceptCase{"DecomposedKeepsFlatOrder", "error(0.02) D2 L0 ^ D5 D6", {{{2, 5, 6}, {0}, 0.02}}, 7, 1},
        AcceptCase{"DuplicatesStay", "error(0.1) D1 D1 ^ L3 L3", {{{1, 1}, {3, 3}, 0.1}}, 2, 4},
        AcceptCase{"NoTargets", "error(0.25)", {{{}, {}, 0.25}}, 0, 0},
        AcceptCase{"TrimmedProbability", "error( 0.5 ) D1", {{{1}, {}, 0.5}}, 2, 0},
        AcceptCase{"UncheckedProbabilities",
                   "error(1.5) D1\nerror(-1) D1\nerror(0) D0\nerror(+2e-3) D0",
                   {{{1}, {}, 1.5}, {{1}, {}, -1.0}, {{0}, {}, 0.0}, {{0}, {}, 0.002}},
                   2,
                   0},
        AcceptCase{"PlusSignAndLeadingZeros", "error(0.1) D+5 D007 L+00", {{{5, 7}, {0}, 0.1}}, 8, 1},
        AcceptCase{"LargestIndices", "error(0.1) D4294967295 L255", {{{4294967295u}, {255}, 0.1}}, 4294967296ull, 256},
        AcceptCase{"CaseInsensitiveNames",
                   "ERROR(0.1) D0\nError(0.2) D1\nLOGICAL_OBSERVABLE L4",
                   {{{0}, {}, 0.1}, {{1}, {}, 0.2}},
                   2,
                   5},
        AcceptCase{"TagsIgnored",
                   "error[my tag](0.1) D0\nerror[](0.2) D1 L0\ndetector[t # not a comment](1) D9",
                   {{{0}, {}, 0.1}, {{1}, {0}, 0.2}},
                   10,
                   1},
        AcceptCase{"TrailingComments",
                   "error(0.1) D0 # note\nerror(0.2) D1#tight\nlogical_observable L2 # obs",
                   {{{0}, {}, 0.1}, {{1}, {}, 0.2}},
                   2,
                   3},
        AcceptCase{"CarriageReturnsAndUnicodeSpace",
                   "error(0.1) D0\r\n\xC2\xA0\xE2\x80\x83"
                   "error(0.2)\xE3\x80\x80"
                   "D1\xE2\x80\xA8L0\r\n",
                   {{{0}, {}, 0.1}, {{1}, {0}, 0.2}},
                   2,
                   1},
        AcceptCase{"ObservableDeclarationOnly", "logical_observable L7", {}, 0, 8},
        AcceptCase{"ObservableDeclarationSkipsBadTokens", "logical_observable x L999 L3 L9", {}, 0, 4},
        AcceptCase{"StrayCloseSkipped", "}\nerror(0.1) D0", {{{0}, {}, 0.1}}, 1, 0},
        AcceptCase{"RepeatCopiesInOrder",
                   "repeat 3 {\n  error(0.1) D0\n  error(0.2) D1\n}",
                   {{{0}, {}, 0.1}, {{1}, {}, 0.2}, {{0}, {}, 0.1}, {{1}, {}, 0.2}, {{0}, {}, 0.1}, {{1}, {}, 0.2}},
                   2,
                   0},
        AcceptCase{"RepeatWithoutBraceWord", "repeat 2\nerror(0.1) D0\n}", {{{0}, {}, 0.1}, {{0}, {}, 0.1}}, 1, 0},
        AcceptCase{"RepeatZeroStillCounts", "repeat 0 {\n  error(0.1) D9 ^ L2\n}", {}, 10, 3},
        AcceptCase{"ShiftMovesLaterTargets",
                   "error(0.1) D0\nshift_detectors 10\nerror(0.1) D0 D1\nshift_detectors(1, 2) 5\nerror(0.1) D2",
                   {{{0}, {}, 0.1}, {{10, 11}, {}, 0.1}, {{17}, {}, 0.1}},
                   18,
                   0},
        AcceptCase{"OffsetsAccumulateAcrossRepetitions",
                   "repeat 3 {\n  error(0.1) D0 D2\n  shift_detectors 2\n}\nerror(0.1) D0",
                   {{{0, 2}, {}, 0.1}, {{2, 4}, {}, 0.1}, {{4, 6}, {}, 0.1}, {{6}, {}, 0.1}},
                   7,
                   0},
        AcceptCase{"NestedRepeats",
                   "repeat 2 {\n  repeat 2 {\n    error(0.1) D0\n    shift_detectors 1\n  }\n"
                   "  error(0.2) D0\n  shift_detectors 10\n}",
                   {{{0}, {}, 0.1}, {{1}, {}, 0.1}, {{2}, {}, 0.2}, {{12}, {}, 0.1}, {{13}, {}, 0.1}, {{14}, {}, 0.2}},
                   15,
                   0},
        AcceptCase{"RepeatZeroLeavesOffsets",
                   "repeat 0 {\n  shift_detectors 100\n  error(0.1) D1\n}\nerror(0.1) D0",
                   {{{0}, {}, 0.1}},
                   102,
                   0},
        AcceptCase{"HugeCountOverEmptyBody",
                   "repeat 18446744073709551615 {\n# nothing\n}\nerror(0.1) D0",
                   {{{0}, {}, 0.1}},
                   1,
                   0},
        AcceptCase{"ShiftToTheLastIndex",
                   "shift_detectors 4294967290\nerror(0.1) D5",
                   {{{4294967295u}, {}, 0.1}},
                   4294967296ull,
                   0}),
    [](const testing::TestParamInfo<AcceptCase>& info) { return info.param.name; });

TEST(DemParserComponents, SplitAtSeparatorsWithOffsetsApplied) {
    DetectorErrorModel model = parse_ok("shift_detectors 3\nerror(0.02) D2 L0 ^ D5 D6 ^ L1\nerror(0.1) D0\nerror(0.1)");
    ASSERT_EQ(model.errors.size(), 3u);
    const auto& parts = model.errors[0].components;
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].detectors, (Dets{5}));
    EXPECT_EQ(parts[0].observables, (Obs{0}));
    EXPECT_EQ(parts[1].detectors, (Dets{8, 9}));
    EXPECT_TRUE(parts[1].observables.empty());
    EXPECT_TRUE(parts[2].detectors.empty());
    EXPECT_EQ(parts[2].observables, (Obs{1}));
    ASSERT_EQ(model.errors[1].components.size(), 1u);
    EXPECT_EQ(model.errors[1].components[0].detectors, (Dets{3}));
    EXPECT_TRUE(model.errors[2].components.empty());
}

TEST(DemParserComponents, EmptyGroupsAreDropped) {
    DetectorErrorModel model = parse_ok("error(0.1) ^ D0 ^ ^ D1 ^");
    ASSERT_EQ(model.errors.size(), 1u);
    ASSERT_EQ(model.errors[0].components.size(), 2u);
    EXPECT_EQ(model.errors[0].components[0].detectors, (Dets{0}));
    EXPECT_EQ(model.errors[0].components[1].detectors, (Dets{1}));
}

TEST(DemParserValues, NonFiniteProbabilitiesAreStored) {
    DetectorErrorModel model = parse_ok("error(nan) D0\nerror(inf) D0\nerror(-Infinity) D0\nerror(1e400) D0");
    ASSERT_EQ(model.errors.size(), 4u);
    EXPECT_TRUE(std::isnan(model.errors[0].probability));
    EXPECT_EQ(model.errors[1].probability, INFINITY);
    EXPECT_EQ(model.errors[2].probability, -INFINITY);
    EXPECT_EQ(model.errors[3].probability, INFINITY);
}

// ---------------------------------------------------------------------------
// Detector declarations.

struct DeclCase {
    const char* name;
    std::string text;
    std::vector<DetectorDecl> decls;
    uint64_t detector_count;
};

void PrintTo(const DeclCase& c, std::ostream* os) {
    *os << c.name;
}

class DemParserDeclares : public testing::TestWithParam<DeclCase> {};

TEST_P(DemParserDeclares, IdsAndCoordinates) {
    const DeclCase& c = GetParam();
    DetectorErrorModel model = parse_ok(c.text);
    ASSERT_EQ(model.detectors.size(), c.decls.size());
    for (size_t i = 0; i < c.decls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(model.detectors[i].id, c.decls[i].id);
        ASSERT_EQ(model.detectors[i].coords.has_value(), c.decls[i].coords.has_value());
        if (c.decls[i].coords) {
            EXPECT_EQ(*model.detectors[i].coords, *c.decls[i].coords);
        }
    }
    EXPECT_EQ(model.detector_count, c.detector_count);
    EXPECT_TRUE(model.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Dialect, DemParserDeclares,
    testing::Values(
        DeclCase{"ThreeCoordinates", "detector(1, 2, 0) D5", {{DetectorCoords{1, 2, 0}, 5}}, 6},
        DeclCase{"MissingCoordinatesAreZero", "detector(1) D5", {{DetectorCoords{1, 0, 0}, 5}}, 6},
        DeclCase{"ExtraCoordinatesIgnored", "detector(1, 2, 3, 4) D0", {{DetectorCoords{1, 2, 3}, 0}}, 1},
        DeclCase{"UnreadableCoordinateIsZero", "detector(x, 2) D0", {{DetectorCoords{0, 2, 0}, 0}}, 1},
        DeclCase{"EmptyList", "detector() D0", {{DetectorCoords{0, 0, 0}, 0}}, 1},
        DeclCase{"NoCoordinates", "detector D5", {{std::nullopt, 5}}, 6},
        DeclCase{"FirstValidTargetOnly", "detector(0,0) x D2 D9", {{DetectorCoords{0, 0, 0}, 2}}, 3},
        DeclCase{"FirstDeclarationWins",
                 "detector D5\ndetector(1, 2, 0) D5\ndetector(3) D1",
                 {{std::nullopt, 5}, {DetectorCoords{3, 0, 0}, 1}},
                 6},
        DeclCase{"TaggedAndUpperCase", "DETECTOR[x](4, 5) D1 # c", {{DetectorCoords{4, 5, 0}, 1}}, 2},
        DeclCase{"ShiftMovesIdAndWrittenCoordinates",
                 "shift_detectors(1, 10, 100) 4\ndetector(1, 1) D0\ndetector(1, 1, 1) D1\ndetector D2",
                 {{DetectorCoords{2, 11, 0}, 4}, {DetectorCoords{2, 11, 101}, 5}, {std::nullopt, 6}},
                 7},
        DeclCase{"CoordinateOffsetsAccumulateInRepeats",
                 "repeat 3 {\n  detector(0, 0, 0) D0\n  shift_detectors(0, 0, 1) 1\n}",
                 {{DetectorCoords{0, 0, 0}, 0}, {DetectorCoords{0, 0, 1}, 1}, {DetectorCoords{0, 0, 2}, 2}},
                 3},
        DeclCase{"RepeatZeroStillDeclares", "repeat 0 {\n  detector(1) D3\n}", {{DetectorCoords{1, 0, 0}, 3}}, 4}),
    [](const testing::TestParamInfo<DeclCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Refused text: the variant and its payload, through the display text.

struct RejectCase {
    const char* name;
    std::string text;
    std::string message;
};

void PrintTo(const RejectCase& c, std::ostream* os) {
    *os << c.name;
}

class DemParserRejects : public testing::TestWithParam<RejectCase> {};

TEST_P(DemParserRejects, WithMessage) {
    EXPECT_EQ(parse_failure(GetParam().text), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, DemParserRejects,
    testing::Values(
        RejectCase{"BadProbability", "error(abc) D0", "invalid probability 'abc' in error instruction"},
        RejectCase{"ProbabilityPayloadUntrimmed", "error( x ) D0", "invalid probability ' x ' in error instruction"},
        RejectCase{"TwoProbabilities", "error(0.1, 0.2) D0", "invalid probability '0.1, 0.2' in error instruction"},
        RejectCase{"UnclosedProbability", "  error(0.1 D0  ",
                   "invalid probability 'error(0.1 D0' in error instruction"},
        RejectCase{"CommentInsideParens", "error(0.1 # x) D0", "invalid probability 'error(0.1' in error instruction"},
        RejectCase{"ProbabilityMissing", "error D0", "invalid probability 'error D0' in error instruction"},
        RejectCase{"DetectorTooLarge", "error(0.1) D4294967296", "malformed target 'D4294967296'"},
        RejectCase{"NegativeDetector", "error(0.1) D-5", "malformed target 'D-5'"},
        RejectCase{"ObservableTooLarge", "error(0.1) D0 L256", "malformed target 'L256'"},
        RejectCase{"UnknownTarget", "error(0.1) D0 X3", "malformed target 'X3'"},
        RejectCase{"LowerCaseTarget", "error(0.1) d3", "malformed target 'd3'"},
        RejectCase{"BareLetter", "error(0.1) D", "malformed target 'D'"},
        RejectCase{"GluedSeparator", "error(0.1) D0^D1", "malformed target 'D0^D1'"},
        RejectCase{"DetectorWithoutValidTarget", "detector(1, 2) L0 x", "malformed target 'detector(1, 2) L0 x'"},
        RejectCase{"UnclosedCoords", "detector(1,2 D5", "malformed detector coords 'detector(1,2 D5'"},
        RejectCase{"CloseBeforeOpen", "detector)(1) D0", "malformed detector coords 'detector)(1) D0'"},
        RejectCase{"UnclosedTag", "error[tag(0.1) D0", "malformed target 'error[tag(0.1) D0'"},
        RejectCase{"RepeatCountNotANumber", "repeat x {\nerror(0.1) D0\n}", "invalid repeat count 'x'"},
        RejectCase{"RepeatCountNegative", "repeat -1 {\n}", "invalid repeat count '-1'"},
        RejectCase{"RepeatCountTooWide", "repeat 18446744073709551616 {\n}",
                   "invalid repeat count '18446744073709551616'"},
        RejectCase{"RepeatCountMissing", "repeat {\n}", "invalid repeat count '{'"},
        RejectCase{"Unterminated", "repeat 3 {\nerror(0.1) D0", "unterminated repeat block"},
        RejectCase{"UnterminatedOuter", "repeat 2 {\nrepeat 2 {\nerror(0.1) D0\n}\n", "unterminated repeat block"},
        RejectCase{"UnterminatedWinsOverBadBody", "repeat 2 {\nerror(0.1) X1\nerror(0.1) D0",
                   "unterminated repeat block"},
        RejectCase{"BadBodyInClosedBlock", "repeat 2 {\nerror(0.1) X1\n}", "malformed target 'X1'"},
        RejectCase{"BadLineAfterNestedBlockInClosedBlock", "repeat 2 {\nrepeat 2 {\n}\nerror(zz) D0\n}\nerror(0.1) D0",
                   "invalid probability 'zz' in error instruction"},
        RejectCase{"FirstFailureWins", "error(0.1) Q1\nerror(zz) D0", "malformed target 'Q1'"},
        // Only the format's own five instructions are read; anything else
        // is refused with its line, counted from 1 over every line.
        RejectCase{"MisspeltInstruction", "error(0.1) D0\n\n# c\neror(0.1) D0 L0",
                   "unknown instruction 'eror' on line 4"},
        RejectCase{"UnknownWithTagAndArgs", "foo[t](1) D3", "unknown instruction 'foo' on line 1"},
        RejectCase{"LongerNameStartingWithAKnownOne", "detector_separator D0",
                   "unknown instruction 'detector_separator' on line 1"},
        RejectCase{"UnknownInsideRepeat", "repeat 2 {\r\n  error(0.1) D0\r\n  Errors(0.1) D1\r\n}",
                   "unknown instruction 'Errors' on line 3"},
        RejectCase{"LineWithoutAName", "error(0.1) D0\n(0.1) D0", "unknown instruction '(0.1)' on line 2"},
        RejectCase{"UnknownBeforeUnclosedTag", "eror[t(0.1) D0", "unknown instruction 'eror' on line 1"},
        RejectCase{"ShiftWithoutAmount", "shift_detectors(0, 1)", "malformed target 'shift_detectors(0, 1)'"},
        RejectCase{"ShiftAmountNotANumber", "shift_detectors D3", "malformed target 'D3'"},
        RejectCase{"ShiftTwoAmounts", "shift_detectors 1 2", "malformed target '2'"},
        RejectCase{"ShiftBadOffset", "shift_detectors(0, y) 1", "malformed detector coords 'shift_detectors(0, y) 1'"},
        RejectCase{"ShiftUnclosedOffsets", "shift_detectors(0, 1 1",
                   "malformed detector coords 'shift_detectors(0, 1 1'"},
        // Offsets may not carry an index past 32 bits, and never wrap round.
        RejectCase{"OffsetOverflowsTarget", "shift_detectors 4294967295\nerror(0.1) D0 D1", "malformed target 'D1'"},
        RejectCase{"OffsetOverflowsDeclaration", "shift_detectors 4294967296\ndetector(1) D0", "malformed target 'D0'"},
        RejectCase{"OffsetSaturatesInsteadOfWrapping",
                   "shift_detectors 18446744073709551615\nshift_detectors 2\nerror(0.1) D0", "malformed target 'D0'"},
        RejectCase{"OffsetOverflowInsideRepeat", "repeat 5 {\nerror(0.1) D0\nshift_detectors 1073741824\n}",
                   "malformed target 'D0'"},
        // Expansion is refused before anything is expanded.
        RejectCase{"HugeRepeat", "repeat 1000000000000 {\nerror(0.1) D0\n}", "invalid repeat count '1000000000000'"},
        RejectCase{"HugeShiftOnlyRepeat", "repeat 18446744073709551615 {\nshift_detectors 1\n}",
                   "invalid repeat count '18446744073709551615'"},
        RejectCase{"HugeNestedRepeatNamesTheOuterCount", "repeat 100000 {\nrepeat 5000 {\nerror(0.1) D0\n}\n}",
                   "invalid repeat count '100000'"},
        RejectCase{"HugeInnerRepeatNamesItsOwnCount", "repeat 2 {\nrepeat 300000000 {\nerror(0.1) D0\n}\n}",
                   "invalid repeat count '300000000'"}),
    [](const testing::TestParamInfo<RejectCase>& info) { return info.param.name; });

TEST(DemParserNesting, DeepNestingDoesNotExhaustTheStack) {
    constexpr int kDepth = 200000;
    std::string text;
    for (int i = 0; i < kDepth; ++i) text += "repeat 1 {\n";
    text += "error(0.1) D0\n";
    for (int i = 0; i < kDepth; ++i) text += "}\n";
    DetectorErrorModel model = parse_ok(text);
    EXPECT_EQ(model.errors.size(), 1u);
}

}  // namespace
}  // namespace veskar
