#pragma once

#include <cstddef>
#include <vector>

namespace veskar {

// Asks for every cache line of the vector's storage, without waiting.
template <class T>
void prefetch_all(const std::vector<T>& v) {
    const char* const bytes = reinterpret_cast<const char*>(v.data());
    const size_t size = v.size() * sizeof(T);
    for (size_t at = 0; at < size; at += 64) __builtin_prefetch(bytes + at);
}

}  // namespace veskar
