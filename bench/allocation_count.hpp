#pragma once

// Counts every heap allocation of the process. A benchmark program includes
// this in exactly one of its files (it replaces the global operator new)
// and reads g_allocations around its timed loops.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

inline uint64_t g_allocations = 0;

// GCC pairs these by name with its built-in new and delete and would warn
// that malloc'd memory reaches operator delete; here that is the point.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
