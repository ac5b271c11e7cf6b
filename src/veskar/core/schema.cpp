#include "veskar/core/schema.hpp"

#include <cstring>

namespace veskar {

size_t SchemaIdHash::operator()(const SchemaId& id) const noexcept {
    uint64_t halves[2];
    std::memcpy(halves, id.data(), sizeof(halves));
    // Mix both halves so that every byte reaches the result.
    uint64_t h = halves[0] * 0x9E3779B97F4A7C15ULL;
    h ^= (halves[1] + 0x632BE59BD9B4E019ULL) * 0xC2B2AE3D27D4EB4FULL;
    return static_cast<size_t>(h ^ (h >> 29));
}

std::expected<const HardwareSchema*, VeskarError> SchemaRegistry::get(const SchemaId& id) const {
    if (schemas_.empty()) {
        return std::unexpected(error::SchemaNotFound{id});
    }
    auto found = schemas_.find(id);
    if (found == schemas_.end()) {
        return std::unexpected(error::SchemaNotFound{id});
    }
    return &found->second;
}

void SchemaRegistry::insert(HardwareSchema schema) {
    SchemaId id = schema.schema_id;
    schemas_.insert_or_assign(id, std::move(schema));
}

}  // namespace veskar
