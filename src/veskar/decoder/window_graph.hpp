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

// Cuts windows out of one shot graph. The shot's edges are grouped once by
// the frame of their lower detector, so a window gathers only its own.
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

   private:
    const SpacetimeGraph& shot_;
    uint64_t detector_count_;
    uint32_t ancilla_count_;
    // Edge ids by frame of their lower detector, ascending within a frame.
    std::vector<uint32_t> frame_start_;
    std::vector<uint32_t> frame_edges_;
};

}  // namespace veskar
