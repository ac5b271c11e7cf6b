#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace veskar {

// Code family carried as one byte in every frame header.
enum class CodeType : uint8_t {
    SurfaceCode = 0x01,
    HoneycombCode = 0x02,
    ColorCode = 0x03,
    RepetitionCode = 0x04,
    ToricCode = 0x05,
    BivariateBicycle = 0x06,
    HypergraphProduct = 0x07,
    FiberBundle = 0x08,
    Custom = 0xFF,
};

// The variant's name, e.g. "SurfaceCode".
std::string_view code_type_name(CodeType code);

// The code type a byte stands for; nothing for 0x00 and 0x09..0xFE.
std::optional<CodeType> code_type_from_byte(uint8_t value);

}  // namespace veskar
