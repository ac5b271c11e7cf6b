#include "veskar/core/code.hpp"

namespace veskar {

std::string_view code_type_name(CodeType code) {
    switch (code) {
        case CodeType::SurfaceCode:
            return "SurfaceCode";
        case CodeType::HoneycombCode:
            return "HoneycombCode";
        case CodeType::ColorCode:
            return "ColorCode";
        case CodeType::RepetitionCode:
            return "RepetitionCode";
        case CodeType::ToricCode:
            return "ToricCode";
        case CodeType::BivariateBicycle:
            return "BivariateBicycle";
        case CodeType::HypergraphProduct:
            return "HypergraphProduct";
        case CodeType::FiberBundle:
            return "FiberBundle";
        case CodeType::Custom:
            return "Custom";
    }
    return "Unknown";
}

std::optional<CodeType> code_type_from_byte(uint8_t value) {
    if ((value >= 0x01 && value <= 0x08) || value == 0xFF) {
        return static_cast<CodeType>(value);
    }
    return std::nullopt;
}

}  // namespace veskar
