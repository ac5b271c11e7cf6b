#include "veskar/core/uuid.hpp"

namespace veskar {

std::string format_uuid(const SchemaId& id) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < id.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kHex[id[i] >> 4]);
        text.push_back(kHex[id[i] & 0xF]);
    }
    return text;
}

}  // namespace veskar
