#pragma once

#include <string>

#include "veskar/dem/parser.hpp"

namespace veskar {

// The model as DEM text that parses back to an equal model: every error on
// its own line (repeat blocks stay expanded) with its `^` components, the
// probability and coordinates written as the shortest decimals that read
// back to the same doubles, then each declared detector in declaration
// order, and last, when no error or declaration names the highest detector
// or observable the counts include, a block repeated 0 times that raises
// the counts without adding an error.
std::string to_dem_text(const DetectorErrorModel& model);

}  // namespace veskar
