// The committed decoder against the whole-shot decode of the same shots,
// sampled from the repository's DEMs, and its handling of frames that do
// not follow a shot's sequence.
//
// surface_d5_r{50,500}_p0003_folded.dem are Stim's
// `surface_code:rotated_memory_z` at distance 5 with every noise parameter
// at 0.003, `detector_error_model(decompose_errors=True)` as Stim prints it
// (one `repeat` block).

#include "veskar/decoder/committed_decoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "dem_sampler.hpp"
#include "veskar/decoder/union_find.hpp"
#include "veskar/decoder/window_graph.hpp"
#include "veskar/dem/graph.hpp"
#include "veskar/dem/parser.hpp"

namespace veskar {
namespace {

using testing_support::DemSampler;

struct Model {
    DetectorErrorModel dem;
    std::shared_ptr<const SpacetimeGraph> graph;
};

const Model& model(const std::string& name) {
    static std::vector<std::pair<std::string, std::unique_ptr<Model>>> cache;
    for (const auto& [n, m] : cache) {
        if (n == name) return *m;
    }
    std::ifstream in(std::string(VESKAR_TEST_DATA) + "/dem/" + name + ".dem");
    std::stringstream text;
    text << in.rdbuf();
    auto dem = DetectorErrorModel::parse(text.str());
    EXPECT_TRUE(dem.has_value()) << name;
    EXPECT_GT(dem->detector_count, 0u) << name;
    auto m = std::make_unique<Model>();
    m->dem = std::move(*dem);
    m->graph = std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(m->dem));
    cache.emplace_back(name, std::move(m));
    return *cache.back().second;
}

CommittedDecoder committed(const Model& m, uint32_t ancillas, uint32_t commit, uint32_t buffer) {
    auto decoder = CommittedDecoder::create(m.graph, ancillas, commit, buffer);
    EXPECT_TRUE(decoder.has_value()) << message(decoder.error());
    return std::move(*decoder);
}

UnionFindDecoder whole_shot(const Model& m) {
    auto decoder = UnionFindDecoder::create(m.graph);
    EXPECT_TRUE(decoder.has_value());
    return std::move(*decoder);
}

uint64_t decode_whole(UnionFindDecoder& decoder, const std::vector<uint8_t>& events) {
    std::vector<uint32_t> fired;
    for (uint32_t d = 0; d < events.size(); ++d) {
        if (events[d]) fired.push_back(d);
    }
    return decoder.decode_detectors(fired);
}

// Frame `round` of a shot: its chunk of the detector events, padded past
// the last detector with `beyond` (which no detector stands for).
std::vector<uint8_t> frame_of(const std::vector<uint8_t>& events, uint32_t ancillas, uint32_t round,
                              uint8_t beyond = 0) {
    std::vector<uint8_t> frame(ancillas, beyond);
    for (uint32_t a = 0; a < ancillas; ++a) {
        const size_t d = size_t{round} * ancillas + a;
        if (d < events.size()) frame[a] = events[d];
    }
    return frame;
}

// Feeds a whole shot in order; every frame but the last is in the shot,
// the last ends it. Returns the shot's prediction.
uint64_t feed_shot(CommittedDecoder& decoder, const std::vector<uint8_t>& events, uint8_t beyond = 0) {
    const uint32_t frames = decoder.frames_per_shot();
    FrameDecode last;
    for (uint32_t round = 0; round < frames; ++round) {
        auto result = decoder.push_frame(round, frame_of(events, decoder.ancilla_count(), round, beyond));
        EXPECT_TRUE(result.has_value()) << message(result.error());
        if (!result) return ~uint64_t{0};
        EXPECT_EQ(result->status, round + 1 == frames ? FrameStatus::shot_end : FrameStatus::in_shot);
        last = *result;
    }
    return last.observable_flips;
}

// ---------------------------------------------------------------------------
// One decode per shot when the windows cover it.

struct WholeCase {
    const char* dem;
    uint32_t ancillas;  // need not divide the detector count
    uint32_t shots;
};

class CoveringWindow : public testing::TestWithParam<WholeCase> {};

TEST_P(CoveringWindow, PredictsExactlyTheWholeShotDecode) {
    const WholeCase c = GetParam();
    const Model& m = model(c.dem);
    const uint32_t frames = static_cast<uint32_t>((m.dem.detector_count + c.ancillas - 1) / c.ancillas);
    UnionFindDecoder reference = whole_shot(m);
    // C >= F, and C < F with C + B >= F: either way the first window would
    // end at or past the shot's last frame.
    const std::vector<std::pair<uint32_t, uint32_t>> settings = {{frames, 0}, {frames + 7, frames}, {1, frames - 1}};
    for (const auto& [commit, buffer] : settings) {
        CommittedDecoder decoder = committed(m, c.ancillas, commit, buffer);
        ASSERT_EQ(decoder.frames_per_shot(), frames);
        EXPECT_EQ(decoder.windows_per_shot(), 1u);
        DemSampler sampler(m.dem, 1234);
        std::vector<uint8_t> events;
        for (uint32_t shot = 0; shot < c.shots; ++shot) {
            sampler.sample(events);
            // Events past the last detector are ignored.
            const uint8_t beyond = shot % 2;
            ASSERT_EQ(feed_shot(decoder, events, beyond), decode_whole(reference, events))
                << c.dem << " C=" << commit << " B=" << buffer << " shot " << shot;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    SampleDems, CoveringWindow,
    testing::Values(WholeCase{"repetition_d5_r5_p0001", 4, 300}, WholeCase{"repetition_d5_r5_p003", 4, 300},
                    WholeCase{"repetition_d5_r5_p003", 5, 300}, WholeCase{"surface_d3_r3_p0005", 8, 300},
                    WholeCase{"surface_d5_r5_p0001", 24, 300}, WholeCase{"surface_d5_r5_p0005", 24, 300},
                    WholeCase{"surface_d5_r5_p0005", 25, 300}, WholeCase{"surface_d5_r25_p0001_folded", 24, 100},
                    WholeCase{"surface_d5_r25_p0001_flat", 48, 100}, WholeCase{"surface_d5_r50_p0003_folded", 24, 100},
                    WholeCase{"surface_d5_r500_p0003_folded", 24, 10}),
    [](const testing::TestParamInfo<WholeCase>& info) {
        return std::string(info.param.dem) + "_A" + std::to_string(info.param.ancillas);
    });

// ---------------------------------------------------------------------------
// Committed windows of C = B = d.

struct AccuracyCase {
    const char* dem;
    uint32_t ancillas;
    uint32_t distance;
    uint32_t shots;
};

class CommittedWindows : public testing::TestWithParam<AccuracyCase> {};

TEST_P(CommittedWindows, LogicalErrorRateWithinFivePercentOfTheWholeShot) {
    const AccuracyCase c = GetParam();
    const Model& m = model(c.dem);
    CommittedDecoder decoder = committed(m, c.ancillas, c.distance, c.distance);
    UnionFindDecoder reference = whole_shot(m);
    const uint32_t frames = decoder.frames_per_shot();
    // Windows start every C frames while C + B more fit before the shot's
    // last frame; a repeated block's windows share one decoder.
    EXPECT_EQ(decoder.windows_per_shot(), (frames - 1 - c.distance) / c.distance + 1);
    EXPECT_LE(decoder.decoder_count(), 4u);

    DemSampler sampler(m.dem, 20240607);
    std::vector<uint8_t> events;
    uint32_t committed_errors = 0;
    uint32_t whole_errors = 0;
    for (uint32_t shot = 0; shot < c.shots; ++shot) {
        const uint64_t truth = sampler.sample(events);
        committed_errors += feed_shot(decoder, events) != truth;
        whole_errors += decode_whole(reference, events) != truth;
    }
    std::cout << c.dem << ": " << c.shots << " shots, committed C=B=" << c.distance << " " << committed_errors
              << " errors, whole shot " << whole_errors << "\n";
    ASSERT_GE(whole_errors, 100u) << "too few errors to compare";
    EXPECT_LE(committed_errors * 100, whole_errors * 105);
}

INSTANTIATE_TEST_SUITE_P(Memories, CommittedWindows,
                         testing::Values(AccuracyCase{"surface_d5_r50_p0003_folded", 24, 5, 5000},
                                         AccuracyCase{"surface_d5_r500_p0003_folded", 24, 5, 500}),
                         [](const testing::TestParamInfo<AccuracyCase>& info) { return std::string(info.param.dem); });

// Any one mechanism alone is decoded to its own observables, also when it
// straddles a commit or reaches past a window's newest frame.
class LoneMechanism : public testing::TestWithParam<std::tuple<uint32_t, uint32_t>> {};

TEST_P(LoneMechanism, DecodesToItsOwnFlipThroughTheWindows) {
    const auto [commit, buffer] = GetParam();
    const Model& m = model("surface_d5_r25_p0001_folded");
    CommittedDecoder decoder = committed(m, 24, commit, buffer);
    ASSERT_GT(decoder.windows_per_shot(), 1u);
    std::vector<uint8_t> events;
    size_t checked = 0;
    for (const DemError& error : m.dem.errors) {
        events.assign(m.dem.detector_count, 0);
        for (uint32_t d : error.detectors) events[d] ^= 1;
        uint64_t expected = 0;
        for (uint8_t o : error.observables) expected ^= uint64_t{1} << o;
        ASSERT_EQ(feed_shot(decoder, events), expected) << "error #" << checked;
        ++checked;
    }
    EXPECT_EQ(checked, m.dem.errors.size());
}

// Buffers of 0 and 1 frame are shorter than some mechanisms' reach (two
// frames here), so commits flip detectors of frames still to come.
INSTANTIATE_TEST_SUITE_P(Windows, LoneMechanism,
                         testing::Values(std::tuple{1u, 0u}, std::tuple{2u, 1u}, std::tuple{1u, 2u}, std::tuple{3u, 3u},
                                         std::tuple{5u, 5u}, std::tuple{4u, 9u}),
                         [](const testing::TestParamInfo<std::tuple<uint32_t, uint32_t>>& info) {
                             std::ostringstream name;
                             name << "C" << std::get<0>(info.param) << "_B" << std::get<1>(info.param);
                             return name.str();
                         });

// ---------------------------------------------------------------------------
// Window positions share a decoder only when their graphs are identical.

enum class Change {
    none,
    weight_ulp,
    observable,
    edge_removed,
    edge_added,
    swapped,
    edge_last,
    frame_last,
    frame_major,
    frames_swapped,
};

struct SharingCase {
    uint32_t ancillas;  // 24 is a round of the model; 12 half one, 48 two, 25 out of step
    uint32_t commit;
    uint32_t buffer;
    Change change;
};

// The shot graph with its middle frame changed. In what it holds: one
// edge's weight by one unit in the last place, its observables (L0 added or
// taken away), its last edge removed or a copy of it added right after it
// (the frame is then a strict prefix of the frames alike it, or they of it). Or only in the shot's order: its first
// edge swapped with the next one unlike it; its last edge, or all its edges, moved to the end of the shot's list (each
// frame still lists the same edges in the same order, but a window lists them among other frames' edges otherwise). Or
// the shot listed frame by frame, as is (frame_major) or with the middle
// frame's block and the next one's swapped: every frame is then alike, edge
// for edge and in its ids' distances, and only the windows holding both
// frames are not.
std::shared_ptr<const SpacetimeGraph> changed(const SpacetimeGraph& shot, uint32_t ancillas, Change change) {
    auto graph = std::make_shared<SpacetimeGraph>(shot);
    const uint64_t middle = (graph->boundary / ancillas) / 2;
    auto frame = [&](const SpacetimeEdge& edge) { return std::min(edge.u, edge.v) / ancillas; };
    if (change == Change::frame_major || change == Change::frames_swapped) {
        std::stable_sort(graph->edges.begin(), graph->edges.end(),
                         [&](const SpacetimeEdge& x, const SpacetimeEdge& y) { return frame(x) < frame(y); });
    }
    if (change == Change::frames_swapped) {
        auto at = [&](uint64_t f) {
            return std::partition_point(graph->edges.begin(), graph->edges.end(),
                                        [&](const SpacetimeEdge& edge) { return frame(edge) < f; });
        };
        std::rotate(at(middle), at(middle + 1), at(middle + 2));
    }
    std::vector<size_t> in_middle;
    for (size_t e = 0; e < graph->edges.size(); ++e) {
        const SpacetimeEdge& edge = graph->edges[e];
        if (frame(edge) == middle) in_middle.push_back(e);
    }
    EXPECT_GE(in_middle.size(), 2u);
    SpacetimeEdge& first = graph->edges[in_middle[0]];
    switch (change) {
        case Change::none:
        case Change::frame_major:
        case Change::frames_swapped:
            break;
        case Change::weight_ulp:
            first.weight = std::nextafter(first.weight, 100.0f);
            break;
        case Change::observable:
            if (first.observables.empty()) {
                first.observables.push_back(0);
            } else {
                first.observables.clear();
            }
            break;
        case Change::swapped: {
            auto unlike = std::find_if(in_middle.begin() + 1, in_middle.end(), [&](size_t e) {
                const SpacetimeEdge& other = graph->edges[e];
                return other.u != first.u || other.v != first.v || other.weight != first.weight ||
                       other.observables != first.observables;
            });
            EXPECT_NE(unlike, in_middle.end());
            std::swap(first, graph->edges[*unlike]);
            break;
        }
        case Change::edge_removed:
            graph->edges.erase(graph->edges.begin() + static_cast<std::ptrdiff_t>(in_middle.back()));
            break;
        case Change::edge_added: {
            const auto last = graph->edges.begin() + static_cast<std::ptrdiff_t>(in_middle.back());
            graph->edges.insert(last + 1, *last);
            break;
        }
        case Change::edge_last:
            in_middle.erase(in_middle.begin(), in_middle.end() - 1);
            [[fallthrough]];
        case Change::frame_last: {
            std::vector<SpacetimeEdge> moved;
            for (auto e = in_middle.rbegin(); e != in_middle.rend(); ++e) {
                moved.insert(moved.begin(), graph->edges[*e]);
                graph->edges.erase(graph->edges.begin() + static_cast<std::ptrdiff_t>(*e));
            }
            graph->edges.insert(graph->edges.end(), moved.begin(), moved.end());
            break;
        }
    }
    return graph;
}

// Edge for edge, weights bit for bit; written out here rather than through
// the WindowGraph comparison the decoder itself relies on.
testing::AssertionResult same_graph(const WindowGraph& a, const WindowGraph& b) {
    if (a.graph->boundary != b.graph->boundary || a.graph->node_count() != b.graph->node_count() ||
        a.open_detectors != b.open_detectors || a.graph->edges.size() != b.graph->edges.size()) {
        return testing::AssertionFailure() << "the sizes or open sides differ";
    }
    for (size_t i = 0; i < a.graph->edges.size(); ++i) {
        const SpacetimeEdge& x = a.graph->edges[i];
        const SpacetimeEdge& y = b.graph->edges[i];
        if (x.u != y.u || x.v != y.v || std::memcmp(&x.weight, &y.weight, sizeof x.weight) != 0 ||
            x.observables != y.observables) {
            return testing::AssertionFailure() << "edge " << i << " differs";
        }
    }
    return testing::AssertionSuccess();
}

class SharedWindows : public testing::TestWithParam<SharingCase> {};

TEST_P(SharedWindows, AreEachTheirOwnCut) {
    const SharingCase c = GetParam();
    const Model& m = model("surface_d5_r25_p0001_folded");
    const std::shared_ptr<const SpacetimeGraph> graph = changed(*m.graph, c.ancillas, c.change);
    CommittedDecoder decoder = committed(Model{m.dem, graph}, c.ancillas, c.commit, c.buffer);
    const uint32_t frames = decoder.frames_per_shot();
    const uint32_t windows = decoder.windows_per_shot();
    ASSERT_GT(windows, 4u);

    // Every window is decoded on exactly the graph cut for it alone.
    const WindowCutter cutter(*graph, c.ancillas);
    for (uint32_t w = 0; w < windows; ++w) {
        const uint32_t first = w * c.commit;
        const uint32_t end = w + 1 == windows ? frames : first + c.commit + c.buffer;
        ASSERT_TRUE(same_graph(decoder.window_graph(w), cutter.cut(first, end))) << "window " << w << " of " << windows;
    }

    // A change parts the windows that hold it from those they were alike.
    if (c.change == Change::none || c.change == Change::frame_major) {
        if (c.ancillas == 24 || c.ancillas == 48) {
            EXPECT_LT(decoder.decoder_count(), windows) << "a repeated block's windows share decoders";
        }
        return;
    }
    const Change before = c.change == Change::frames_swapped ? Change::frame_major : Change::none;
    CommittedDecoder unchanged =
        committed(Model{m.dem, changed(*m.graph, c.ancillas, before)}, c.ancillas, c.commit, c.buffer);
    if (unchanged.decoder_count() < windows) {
        EXPECT_GT(decoder.decoder_count(), unchanged.decoder_count());
    }
}

std::vector<SharingCase> sharing_cases() {
    std::vector<SharingCase> cases;
    for (Change change :
         {Change::none, Change::weight_ulp, Change::observable, Change::edge_removed, Change::edge_added,
          Change::swapped, Change::edge_last, Change::frame_last, Change::frame_major, Change::frames_swapped}) {
        for (const auto& [ancillas, commit, buffer] :
             {std::tuple{24u, 2u, 2u}, std::tuple{24u, 3u, 1u}, std::tuple{12u, 3u, 2u}, std::tuple{48u, 1u, 1u},
              std::tuple{25u, 2u, 3u}}) {
            cases.push_back({ancillas, commit, buffer, change});
        }
    }
    return cases;
}

std::string sharing_case_name(const testing::TestParamInfo<SharingCase>& info) {
    static const std::vector<std::string> kChanges = {"Unchanged",  "WeightUlp",    "Observable", "EdgeRemoved",
                                                      "EdgeAdded",  "Swapped",      "EdgeLast",   "FrameLast",
                                                      "FrameMajor", "FramesSwapped"};
    std::ostringstream name;
    name << kChanges[int(info.param.change)] << "_A" << info.param.ancillas << "_C" << info.param.commit << "_B"
         << info.param.buffer;
    return name.str();
}

INSTANTIATE_TEST_SUITE_P(Changes, SharedWindows, testing::ValuesIn(sharing_cases()), sharing_case_name);

// ---------------------------------------------------------------------------
// Frames out of sequence.

enum class Expect { in_shot, shot_end, skipped, unexpected_round, cut_short, ancilla_count, stream_ended, ended };

struct Step {
    int shot;  // whose events the frame carries; -1: end of the stream
    uint32_t round;
    uint32_t extra_ancillas;
    Expect expect;
    uint32_t due = 0;  // for errors: the round that was due
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

std::vector<Step> whole(int shot, uint32_t frames) {
    std::vector<Step> steps;
    for (uint32_t r = 0; r < frames; ++r) {
        steps.push_back({shot, r, 0, r + 1 == frames ? Expect::shot_end : Expect::in_shot});
    }
    return steps;
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// repetition_d5_r5_p003 with 4 ancillas: shots of 6 frames.
constexpr uint32_t kFrames = 6;

std::vector<Scenario> scenarios() {
    using E = Expect;
    const std::vector<Step> end_ok = {{-1, 0, 0, E::ended}};
    return {
        {"BackToBack", whole(0, kFrames) + whole(1, kFrames) + end_ok},
        {"LostFrame", std::vector<Step>{{0, 0, 0, E::in_shot},
                                        {0, 1, 0, E::in_shot},
                                        {0, 2, 0, E::in_shot},
                                        {0, 4, 0, E::unexpected_round, 3},
                                        {0, 5, 0, E::skipped}} +
                          whole(1, kFrames)},
        {"RoundsOutOfOrder",
         std::vector<Step>{
             {0, 0, 0, E::in_shot}, {0, 2, 0, E::unexpected_round, 1}, {0, 1, 0, E::skipped}, {0, 3, 0, E::skipped}} +
             whole(1, kFrames)},
        {"RepeatedRound",
         std::vector<Step>{{0, 0, 0, E::in_shot}, {0, 1, 0, E::in_shot}, {0, 1, 0, E::unexpected_round, 2}} +
             whole(1, kFrames)},
        {"NewShotEarly", std::vector<Step>{{0, 0, 0, E::in_shot},
                                           {0, 1, 0, E::in_shot},
                                           {0, 2, 0, E::in_shot},
                                           {0, 3, 0, E::in_shot},
                                           {1, 0, 0, E::cut_short, 4},
                                           {1, 1, 0, E::in_shot},
                                           {1, 2, 0, E::in_shot},
                                           {1, 3, 0, E::in_shot},
                                           {1, 4, 0, E::in_shot},
                                           {1, 5, 0, E::shot_end}}},
        {"StreamEndsInsideShot", std::vector<Step>{{0, 0, 0, E::in_shot},
                                                   {0, 1, 0, E::in_shot},
                                                   {0, 2, 0, E::in_shot},
                                                   {0, 3, 0, E::in_shot},
                                                   {-1, 0, 0, E::stream_ended, 4}} +
                                     whole(1, kFrames) + end_ok},
        {"AncillaCountChanged", std::vector<Step>{{0, 0, 0, E::in_shot},
                                                  {0, 1, 0, E::in_shot},
                                                  {0, 2, 0, E::in_shot},
                                                  {0, 3, 1, E::ancilla_count, 3},
                                                  {1, 0, 1, E::ancilla_count, 0},
                                                  {1, 1, 1, E::skipped},
                                                  {1, 1, 0, E::skipped}} +
                                    whole(2, kFrames)},
        {"JoinedMidShot",
         std::vector<Step>{{0, 3, 0, E::unexpected_round, 0}, {0, 4, 0, E::skipped}, {0, 5, 0, E::skipped}} +
             whole(1, kFrames)},
        {"RoundBeyondTheShot",
         whole(0, kFrames) + std::vector<Step>{{0, kFrames, 0, E::unexpected_round, 0}} + whole(1, kFrames)},
    };
}

class OutOfSequence : public testing::TestWithParam<Scenario> {};

TEST_P(OutOfSequence, NeverPredictsAMixedShot) {
    const Model& m = model("repetition_d5_r5_p003");
    constexpr uint32_t kAncillas = 4;
    // Windows of 2 + 2 frames, so that shots break between commits.
    for (uint64_t seed = 0; seed < 40; ++seed) {
        DemSampler sampler(m.dem, seed);
        std::vector<std::vector<uint8_t>> shots(3);
        for (auto& events : shots) sampler.sample(events);
        CommittedDecoder decoder = committed(m, kAncillas, 2, 2);
        ASSERT_EQ(decoder.frames_per_shot(), kFrames);
        ASSERT_EQ(decoder.windows_per_shot(), 2u);
        // What each frame of a shot read alone, in order, should give.
        std::vector<std::vector<uint64_t>> clean(shots.size());
        for (size_t s = 0; s < shots.size(); ++s) {
            CommittedDecoder fresh = committed(m, kAncillas, 2, 2);
            for (uint32_t r = 0; r < kFrames; ++r) {
                clean[s].push_back(fresh.push_frame(r, frame_of(shots[s], kAncillas, r))->observable_flips);
            }
        }

        size_t index = 0;
        for (const Step& step : GetParam().steps) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", step " + std::to_string(index++));
            if (step.shot < 0) {
                auto ended = decoder.end_stream();
                if (step.expect == Expect::ended) {
                    EXPECT_TRUE(ended.has_value());
                } else {
                    ASSERT_FALSE(ended.has_value());
                    const auto* e = std::get_if<sequence_error::StreamEnded>(&ended.error());
                    ASSERT_NE(e, nullptr) << message(ended.error());
                    EXPECT_EQ(e->due, step.due);
                }
                continue;
            }
            std::vector<uint8_t> frame = frame_of(shots[step.shot], kAncillas, step.round);
            frame.resize(kAncillas + step.extra_ancillas, 1);
            auto result = decoder.push_frame(step.round, frame);
            switch (step.expect) {
                case Expect::in_shot:
                case Expect::shot_end:
                    ASSERT_TRUE(result.has_value()) << message(result.error());
                    EXPECT_EQ(result->status,
                              step.expect == Expect::shot_end ? FrameStatus::shot_end : FrameStatus::in_shot);
                    EXPECT_EQ(result->observable_flips, clean[step.shot][step.round]);
                    break;
                case Expect::skipped:
                    ASSERT_TRUE(result.has_value()) << message(result.error());
                    EXPECT_EQ(result->status, FrameStatus::skipped);
                    break;
                default: {
                    ASSERT_FALSE(result.has_value()) << "status " << int(result->status);
                    const SequenceError& err = result.error();
                    const std::string text = message(err);
                    uint32_t due = 0;
                    if (step.expect == Expect::unexpected_round) {
                        const auto* e = std::get_if<sequence_error::UnexpectedRound>(&err);
                        ASSERT_NE(e, nullptr) << text;
                        EXPECT_EQ(e->round, step.round);
                        EXPECT_EQ(e->frames_per_shot, kFrames);
                        due = e->due;
                    } else if (step.expect == Expect::cut_short) {
                        const auto* e = std::get_if<sequence_error::ShotCutShort>(&err);
                        ASSERT_NE(e, nullptr) << text;
                        due = e->due;
                    } else {
                        const auto* e = std::get_if<sequence_error::AncillaCountChanged>(&err);
                        ASSERT_NE(e, nullptr) << text;
                        EXPECT_EQ(e->ancilla_count, kAncillas + step.extra_ancillas);
                        EXPECT_EQ(e->expected, kAncillas);
                        due = e->due;
                    }
                    EXPECT_EQ(due, step.due) << text;
                    // The message tells how many frames were dropped.
                    if (due != 0) {
                        EXPECT_NE(text.find(std::to_string(due) + " frame"), std::string::npos) << text;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, OutOfSequence, testing::ValuesIn(scenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

TEST(CommittedDecoder, RefusesWhatItCannotDecode) {
    const Model& m = model("surface_d3_r3_p0005");
    EXPECT_TRUE(std::holds_alternative<committed_decoder_error::NoAncillas>(
        CommittedDecoder::create(m.graph, 0, 1, 1).error()));
    EXPECT_TRUE(std::holds_alternative<committed_decoder_error::NoCommitRounds>(
        CommittedDecoder::create(m.graph, 8, 0, 1).error()));
    EXPECT_TRUE(std::holds_alternative<DecoderError>(CommittedDecoder::create(nullptr, 8, 1, 1).error()));
}

// ---------------------------------------------------------------------------
// Cutting a window out of a shot graph.

TEST(WindowCutter, RenumbersTheWindowAndOpensItsNewestSide) {
    // Detectors 0..5 in frames of 2; boundary 6.
    auto shot = std::make_shared<SpacetimeGraph>();
    shot->boundary = 6;
    shot->nodes.resize(7);
    auto edge = [&](uint32_t u, uint32_t v, uint8_t observable) {
        shot->edges.push_back(SpacetimeEdge{{observable}, u, v, 1.0f + observable});
    };
    edge(1, 2, 0);  // into the settled frame 0: left out
    edge(2, 3, 1);
    edge(3, 4, 2);
    edge(2, 6, 3);  // to the shot's boundary
    edge(3, 5, 4);  // past the window: the open side
    edge(2, 4, 5);
    edge(4, 5, 6);  // beyond the window
    const WindowCutter cutter(*shot, 2);
    const WindowGraph window = cutter.cut(1, 2);
    ASSERT_EQ(window.graph->boundary, 2u);
    EXPECT_EQ(window.open_detectors, (std::vector<uint32_t>{2, 3}));  // detectors 4 and 5
    ASSERT_EQ(window.graph->node_count(), 5u);
    std::vector<std::tuple<uint32_t, uint32_t, uint8_t>> edges;
    for (const SpacetimeEdge& e : window.graph->edges) edges.emplace_back(e.u, e.v, e.observables[0]);
    EXPECT_EQ(edges, (std::vector<std::tuple<uint32_t, uint32_t, uint8_t>>{
                         {0, 1, 1}, {1, 3, 2}, {0, 2, 3}, {1, 4, 4}, {0, 3, 5}}));
    // The window of the whole shot is the shot, edge for edge.
    const WindowGraph all = cutter.cut(0, 3);
    EXPECT_TRUE(all.open_detectors.empty());
    EXPECT_EQ(all, (WindowGraph{shot, {}}));
}

}  // namespace
}  // namespace veskar
