#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "veskar/dem/graph.hpp"

namespace veskar {

// A run of consecutive frames of a shot, cut out of the shot's decoding
// graph as a graph of its own.
//
// A shot's frames are fixed-size chunks of its detector numbering: frame k
// holds detectors k*A .. k*A + A - 1. The window's detectors are renumbered
// from 0; the shot's boundary follows them (graph.boundary); after it comes
// the open side, one boundary node per detector beyond the window's newest
// frame that an edge of the window reaches, so that a correction through it
// names the detector it would flip. Edges reaching a detector before the
// window's first frame are left out: those frames are settled.
struct WindowGraph {
    std::shared_ptr<const SpacetimeGraph> graph;
    // Node graph->boundary + 1 + i stands for the detector open_detectors[i]
    // places after the window's first detector. Ascending.
    std::vector<uint32_t> open_detectors;
};

bool operator==(const WindowGraph& a, const WindowGraph& b);

// Cuts windows out of one shot graph, and tells windows that would be cut
// alike without cutting them.
//
// The shot's edges are grouped once by the frame of their lower detector, so
// a window gathers only its own. Frames are sorted into classes on the way:
// two frames are of one class when their edges, in the shot's order, are the
// same edge for edge once renumbered from each frame's first detector (ends,
// weight bits, observable lists), and their edge ids differ by one constant
// shift. Two windows of equal length whose frames are of the same classes in
// the same order, shifted alike, are then the same graph (the ids' shift
// keeps the edges' order). In a repeated block of rounds each frame is one a
// few frames before it, shifted (the distance guessed from the frames' edge
// counts), which the grouping pass checks as soon as both frames' lists are
// complete, while their edges are still in cache; a frame that is not is
// looked up by a hash of its edges among the classes met so far and compared
// with one of them in full. So the cutter reads the shot's edges twice, and
// a frame a third time only when the guess fails: about a pass over the
// model, however many windows.
class WindowCutter {
   public:
    // `shot.boundary` is the shot's detector count D; any node from there on
    // is the boundary. Needs ancilla_count > 0. Refers to `shot`, which must
    // outlive the cutter.
    WindowCutter(const SpacetimeGraph& shot, uint32_t ancilla_count);

    // The window of frames first_frame .. end_frame - 1 (detectors beyond D
    // in the last frame are no detectors of the shot). Edges keep the shot's
    // order, weights and observables, so the window of the whole shot is the
    // shot's graph edge for edge.
    WindowGraph cut(uint32_t first_frame, uint32_t end_frame) const;

    // A hash of the window's length and frame classes: windows that
    // same_window finds alike have equal keys.
    uint64_t window_key(uint32_t first_frame, uint32_t end_frame) const;

    // Whether cut(a, a + length) == cut(b, b + length), in O(length). A window
    // that reaches past detector D - 1 (the shot's last frame, when A does not
    // divide D) is found alike only with itself.
    bool same_window(uint32_t a, uint32_t b, uint32_t length) const;

   private:
    // Whether frames f and g hold the same edges; `shift` is then g's edge
    // ids less f's.
    bool same_frame(uint32_t f, uint32_t g, int64_t& shift) const;
    uint64_t frame_hash(uint32_t f) const;
    // The distance in frames at which frames most likely repeat.
    static uint32_t likely_period(const std::vector<uint32_t>& frame_start);
    // `step[f]`: how far frame f's edge ids are from those of frame
    // f - period when the grouping pass found the two alike, else kNotAlike.
    void sort_into_classes(uint32_t period, const std::vector<int64_t>& step);

    const SpacetimeGraph& shot_;
    uint64_t detector_count_;
    uint32_t ancilla_count_;
    // Edge ids by frame of their lower detector, ascending within a frame.
    std::vector<uint32_t> frame_start_;
    std::vector<uint32_t> frame_edges_;
    // Per frame its class and the shift of its edge ids from those of the
    // class's first frame; per class that first frame.
    std::vector<uint32_t> frame_class_;
    std::vector<int64_t> frame_shift_;
    std::vector<uint32_t> class_first_frame_;
};

}  // namespace veskar
