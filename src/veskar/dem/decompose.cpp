#include "veskar/dem/decompose.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <span>
#include <unordered_map>

#include "veskar/core/overloaded.hpp"

namespace veskar {

namespace {

constexpr uint32_t kAlone = 0xFFFFFFFF;  // second end of a single-detector part

// Observables flipped, one bit per index 0..255.
struct ObservableSet {
    std::array<uint64_t, 4> bits{};

    void flip(uint8_t o) { bits[o >> 6] ^= uint64_t{1} << (o & 63); }
    ObservableSet operator^(const ObservableSet& other) const {
        ObservableSet out;
        for (size_t i = 0; i < bits.size(); ++i) out.bits[i] = bits[i] ^ other.bits[i];
        return out;
    }
    bool operator==(const ObservableSet&) const = default;

    std::vector<uint8_t> list() const {
        std::vector<uint8_t> out;
        for (unsigned o = 0; o < 256; ++o) {
            if ((bits[o >> 6] >> (o & 63)) & 1) out.push_back(static_cast<uint8_t>(o));
        }
        return out;
    }
};

ObservableSet observable_set(std::span<const uint8_t> observables) {
    ObservableSet set;
    for (uint8_t o : observables) set.flip(o);
    return set;
}

// The detectors a component flips: sorted, a detector named twice gone.
std::vector<uint32_t> flipped(std::span<const uint32_t> detectors) {
    std::vector<uint32_t> sorted(detectors.begin(), detectors.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint32_t> out;
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        if ((j - i) % 2 == 1) out.push_back(sorted[i]);
        i = j;
    }
    return out;
}

uint64_t key_of(uint32_t a, uint32_t b) {
    return uint64_t{a} << 32 | b;
}

bool usable(double p) {
    return p > 0.0 && p < 1.0;
}

// The components of an error; one assembled in code may hold only the flat lists.
std::vector<DemComponent> components_of(const DemError& error) {
    if (!error.components.empty()) return error.components;
    return {DemComponent{error.detectors, error.observables}};
}

std::string error_text(const DemError& error) {
    std::array<char, 32> number{};
    const auto written = std::to_chars(number.data(), number.data() + number.size(), error.probability);
    std::string text = "error(" + std::string(number.data(), written.ptr) + ")";
    bool first = true;
    for (const DemComponent& part : components_of(error)) {
        if (!first) text += " ^";
        first = false;
        for (uint32_t d : part.detectors) text += " D" + std::to_string(d);
        for (uint8_t o : part.observables) text += " L" + std::to_string(o);
    }
    return text;
}

// The graph-like components of the model: for each pair of detectors, or
// single detector, the observable sets its components flip and how likely
// it is that any of them fires (as independent mechanisms).
class KnownParts {
   public:
    struct Part {
        std::vector<ObservableSet> observables;
        double probability = 0.0;
    };

    explicit KnownParts(const DetectorErrorModel& model) {
        for (const DemError& error : model.errors) {
            if (!usable(error.probability)) continue;
            for (const DemComponent& part : components_of(error)) {
                const std::vector<uint32_t> detectors = flipped(part.detectors);
                if (detectors.empty() || detectors.size() > 2) continue;
                Part& known = parts_[key_of(detectors[0], detectors.size() == 2 ? detectors[1] : kAlone)];
                const ObservableSet set = observable_set(part.observables);
                if (std::find(known.observables.begin(), known.observables.end(), set) == known.observables.end()) {
                    known.observables.push_back(set);
                }
                const double p = error.probability;
                known.probability = known.probability * (1 - p) + p * (1 - known.probability);
            }
        }
    }

    const Part* find(uint32_t a, uint32_t b) const {
        const auto it = parts_.find(key_of(a, b));
        return it == parts_.end() ? nullptr : &it->second;
    }

   private:
    std::unordered_map<uint64_t, Part> parts_;
};

// Depth-first search over the splits of `detectors` whose parts' observables
// add up to `target`, for the likeliest: the one whose parts' own
// mechanisms are most probable together.
class Splitter {
   public:
    Splitter(const KnownParts& known, const std::vector<uint32_t>& detectors, const ObservableSet& target)
        : known_(known), detectors_(detectors), target_(target), used_(detectors.size(), 0) {}

    bool run() {
        extend(0, ObservableSet{}, 0.0);
        return !best_.empty();
    }

    // The parts of the likeliest split, as components.
    std::vector<DemComponent> parts() const {
        std::vector<DemComponent> out;
        for (const Part& part : best_) {
            DemComponent component;
            component.detectors.push_back(part.a);
            if (part.b != kAlone) component.detectors.push_back(part.b);
            component.observables = part.observables.list();
            out.push_back(std::move(component));
        }
        return out;
    }

   private:
    struct Part {
        uint32_t a;
        uint32_t b;
        ObservableSet observables;
    };

    void extend(size_t from, const ObservableSet& flipped_so_far, double score) {
        // A model can make the search exponential; real hyperedges take a
        // handful of steps.
        if (++steps_ > kMaxSteps) return;
        while (from < detectors_.size() && used_[from]) ++from;
        if (from == detectors_.size()) {
            if (flipped_so_far == target_ && (best_.empty() || score > best_score_)) {
                best_ = parts_;
                best_score_ = score;
            }
            return;
        }
        const uint32_t a = detectors_[from];
        used_[from] = 1;
        for (size_t j = from + 1; j < detectors_.size(); ++j) {
            if (used_[j]) continue;
            const KnownParts::Part* part = known_.find(a, detectors_[j]);
            if (part == nullptr) continue;
            used_[j] = 1;
            try_part(*part, a, detectors_[j], from, flipped_so_far, score);
            used_[j] = 0;
        }
        if (const KnownParts::Part* part = known_.find(a, kAlone)) {
            try_part(*part, a, kAlone, from, flipped_so_far, score);
        }
        used_[from] = 0;
    }

    void try_part(const KnownParts::Part& part, uint32_t a, uint32_t b, size_t from,
                  const ObservableSet& flipped_so_far, double score) {
        for (const ObservableSet& set : part.observables) {
            parts_.push_back(Part{a, b, set});
            extend(from + 1, flipped_so_far ^ set, score + std::log(part.probability));
            parts_.pop_back();
        }
    }

    static constexpr uint32_t kMaxSteps = 1 << 18;

    const KnownParts& known_;
    const std::vector<uint32_t>& detectors_;
    ObservableSet target_;
    std::vector<uint8_t> used_;
    std::vector<Part> parts_;
    std::vector<Part> best_;
    double best_score_ = 0.0;
    uint32_t steps_ = 0;
};

}  // namespace

std::string message(const DecomposeError& err) {
    const auto advice = "; generate the DEM with decompose_errors=True";
    return std::visit(
        Overloaded{
            [&](const decompose_error::NoSplit& e) {
                return "cannot decompose " + e.text + " (error " + std::to_string(e.error) +
                       " of the model): its detectors do not split into pairs and single detectors that the "
                       "model's graph-like errors have" +
                       advice;
            },
            [&](const decompose_error::TooManyDetectors& e) {
                return "cannot decompose " + e.text + " (error " + std::to_string(e.error) +
                       " of the model): a component of " + std::to_string(e.detectors) +
                       " detectors is more than the " + std::to_string(kMaxDecomposedDetectors) +
                       " a decomposition is searched for" + advice;
            },
        },
        err);
}

Decomposition decompose_hyperedges(const DetectorErrorModel& model) {
    Decomposition result;
    std::optional<KnownParts> known;  // built on the first hyperedge: most models have none
    for (size_t index = 0; index < model.errors.size(); ++index) {
        const DemError& error = model.errors[index];
        if (!usable(error.probability)) continue;
        const std::vector<DemComponent> components = components_of(error);
        const bool any = std::any_of(components.begin(), components.end(),
                                     [](const DemComponent& part) { return part.detectors.size() > 2; });
        if (!any) continue;
        if (!known) known.emplace(model);

        ErrorDecomposition decomposed{index, {}};
        std::optional<DecomposeError> failure;
        for (const DemComponent& part : components) {
            if (part.detectors.size() <= 2) {
                decomposed.components.push_back(part);
                continue;
            }
            const std::vector<uint32_t> detectors = flipped(part.detectors);
            if (detectors.size() <= 2) {
                decomposed.components.push_back(DemComponent{detectors, part.observables});
                continue;
            }
            if (detectors.size() > kMaxDecomposedDetectors) {
                failure = decompose_error::TooManyDetectors{index, error_text(error), detectors.size()};
                break;
            }
            Splitter splitter(*known, detectors, observable_set(part.observables));
            if (!splitter.run()) {
                failure = decompose_error::NoSplit{index, error_text(error)};
                break;
            }
            for (DemComponent& piece : splitter.parts()) decomposed.components.push_back(std::move(piece));
        }
        if (failure) {
            decomposed.components.clear();
            if (!result.failure) result.failure = std::move(failure);
        }
        result.errors.push_back(std::move(decomposed));
    }
    return result;
}

}  // namespace veskar
