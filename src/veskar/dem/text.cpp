#include "veskar/dem/text.hpp"

#include <algorithm>
#include <charconv>

namespace veskar {

namespace {

void append_real(std::string& out, double value) {
    char buffer[32];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, end);
}

template <class Index>
void append_target(std::string& out, char kind, Index index) {
    char buffer[16];
    buffer[0] = kind;
    const auto [end, ec] = std::to_chars(buffer + 1, buffer + sizeof buffer, index);
    out += ' ';
    out.append(buffer, end);
}

}  // namespace

std::string to_dem_text(const DetectorErrorModel& model) {
    std::string out;
    out.reserve(32 * model.errors.size() + 48 * model.detectors.size() + 32);
    bool names_last_detector = false;
    bool names_last_observable = false;
    for (const DemError& error : model.errors) {
        out += "error(";
        append_real(out, error.probability);
        out += ')';
        // A component lists its detectors before its observables; the flat
        // lists keep their order, as each holds only one kind of target.
        for (size_t c = 0; c < error.components.size(); ++c) {
            if (c != 0) out += " ^";
            for (uint32_t d : error.components[c].detectors) append_target(out, 'D', d);
            for (uint8_t o : error.components[c].observables) append_target(out, 'L', unsigned{o});
        }
        out += '\n';
        for (uint32_t d : error.detectors) names_last_detector |= d + uint64_t{1} == model.detector_count;
        for (uint8_t o : error.observables) names_last_observable |= o + uint64_t{1} == model.observable_count;
    }
    for (const DetectorDecl& decl : model.detectors) {
        out += "detector";
        if (decl.coords) {
            out += '(';
            for (uint8_t k = 0; k < std::min<uint8_t>(decl.coord_count, 3); ++k) {
                if (k != 0) out += ", ";
                append_real(out, (*decl.coords)[k]);
            }
            out += ')';
        }
        append_target(out, 'D', decl.id);
        out += '\n';
        names_last_detector |= decl.id + uint64_t{1} == model.detector_count;
    }
    // Counts raised by an error that was never added (one inside a block
    // repeated 0 times) come back the same way: the block's error raises
    // the counts and adds nothing.
    const bool keep_detectors = model.detector_count != 0 && !names_last_detector;
    const bool keep_observables = model.observable_count != 0 && !names_last_observable;
    if (keep_detectors || keep_observables) {
        out += "repeat 0 {\nerror(0)";
        if (keep_detectors) append_target(out, 'D', model.detector_count - 1);
        if (keep_observables) append_target(out, 'L', model.observable_count - 1);
        out += "\n}\n";
    }
    return out;
}

}  // namespace veskar
