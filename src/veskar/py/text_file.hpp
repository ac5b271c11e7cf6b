#pragma once

#include <expected>
#include <string>

namespace veskar::py {

// Reads a whole file that must hold UTF-8 text (DEM files). Fails with the
// errno of the open or read, or EILSEQ when the bytes are not valid UTF-8.
// Runs without touching Python objects.
std::expected<std::string, int> read_utf8_file(const char* path);

}  // namespace veskar::py
