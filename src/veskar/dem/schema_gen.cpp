#include "veskar/dem/schema_gen.hpp"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace veskar {

namespace {

bool read_getrandom(uint8_t* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = getrandom(out + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool read_urandom(uint8_t* out, size_t size) {
    std::FILE* file = std::fopen("/dev/urandom", "rb");
    if (file == nullptr) return false;
    const size_t got = std::fread(out, 1, size, file);
    std::fclose(file);
    return got == size;
}

uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Last resort when the kernel offers no randomness (a sandbox without
// getrandom and /dev/urandom): ids must still differ between calls, which
// the clock, a counter and the process's own addresses give.
void fill_fallback(uint8_t* out, size_t size) {
    static std::atomic<uint64_t> counter{0};
    uint64_t state = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                     (counter.fetch_add(1, std::memory_order_relaxed) << 32) ^ reinterpret_cast<uintptr_t>(&counter) ^
                     reinterpret_cast<uintptr_t>(out);
    for (size_t i = 0; i < size; i += 8) {
        uint64_t word = splitmix64(state);
        std::memcpy(out + i, &word, std::min<size_t>(8, size - i));
    }
}

// Nearest integer, halves away from zero; NaN gives 0 and values beyond the
// 64-bit range saturate.
int64_t round_saturating(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::round(v);
    if (r >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (r <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(r);
}

// Detectors on a checkerboard: an odd x + y marks an X stabilizer.
StabilizerType stabilizer_type(const std::optional<DetectorCoords>& coords) {
    if (!coords) return StabilizerType::Z;
    // The sum's lowest bit survives wrap-around, so add as unsigned.
    const uint64_t sum =
        static_cast<uint64_t>(round_saturating((*coords)[0])) + static_cast<uint64_t>(round_saturating((*coords)[1]));
    return (sum & 1) != 0 ? StabilizerType::X : StabilizerType::Z;
}

}  // namespace

SchemaId random_uuid_v4() {
    SchemaId id{};
    if (!read_getrandom(id.data(), id.size()) && !read_urandom(id.data(), id.size())) {
        fill_fallback(id.data(), id.size());
    }
    id[6] = static_cast<uint8_t>((id[6] & 0x0F) | 0x40);  // version 4
    id[8] = static_cast<uint8_t>((id[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return id;
}

std::string message(const SchemaTooLarge& err) {
    return "a hardware schema holds at most " + std::to_string(kMaxSchemaDetectors) + " detectors, the model has " +
           std::to_string(err.detector_count);
}

std::expected<HardwareSchema, SchemaTooLarge> schema_from_dem(const DetectorErrorModel& model, std::string_view name) {
    // Every declared id is below detector_count, so this bounds the ids too.
    if (model.detector_count > kMaxSchemaDetectors) return std::unexpected(SchemaTooLarge{model.detector_count});
    HardwareSchema schema;
    schema.schema_id = random_uuid_v4();
    schema.version = "1.0.0";
    schema.name = std::string(name);
    schema.description = "Auto-generated from DEM: " + std::to_string(model.detector_count) + " detectors, " +
                         std::to_string(model.observable_count) + " observables";
    schema.code_type = "custom";  // the schema word of CodeType::Custom
    schema.distance = 0;
    schema.qubit_count = 0;
    schema.ancilla_count = static_cast<uint16_t>(model.detector_count);  // checked above
    schema.stabilizers.reserve(model.detectors.size());
    for (const DetectorDecl& decl : model.detectors) {
        StabilizerEntry entry;
        entry.id = static_cast<uint16_t>(decl.id);
        entry.type = stabilizer_type(decl.coords);
        schema.stabilizers.push_back(std::move(entry));
    }
    schema.measurement_cycle_us = 1.0f;
    schema.ancilla_layout = "auto";
    return schema;
}

}  // namespace veskar
