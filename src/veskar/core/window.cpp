#include "veskar/core/window.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "veskar/core/overloaded.hpp"

namespace veskar {

namespace {

std::string sizes_text(uint64_t ancilla_count, uint64_t window_depth) {
    return std::to_string(ancilla_count) + " ancillas by " + std::to_string(window_depth) + " rounds";
}

}  // namespace

std::string message(const WindowError& err) {
    return std::visit(Overloaded{
                          [](const window_error::ZeroDepth&) { return std::string("window_depth must be at least 1"); },
                          [](const window_error::SizeOverflow& e) {
                              return "window of " + sizes_text(e.ancilla_count, e.window_depth) +
                                     " is too large (at most 2^32 detectors)";
                          },
                          [](const window_error::OutOfMemory& e) {
                              return "cannot reserve memory for a window of " +
                                     sizes_text(e.ancilla_count, e.window_depth);
                          },
                      },
                      err);
}

std::expected<SyndromeWindow, WindowError> SyndromeWindow::create(uint64_t ancilla_count, uint64_t window_depth) {
    if (window_depth == 0) return std::unexpected(window_error::ZeroDepth{});
    // Checked by division so that the product itself cannot wrap.
    if (ancilla_count != 0 && window_depth > kMaxDetectors / ancilla_count) {
        return std::unexpected(window_error::SizeOverflow{ancilla_count, window_depth});
    }
    SyndromeWindow window(ancilla_count, window_depth);
    if (window_depth > window.slots_.max_size()) {
        return std::unexpected(window_error::SizeOverflow{ancilla_count, window_depth});
    }
    // Round slots beyond any user address space (2^47 bytes on x86-64 and
    // AArch64) cannot be had, so they are not even asked for: allocators
    // built to catch memory errors end the process on such a request
    // instead of throwing.
    if (window_depth > (uint64_t{1} << 47) / sizeof(OwnedSyndromeData)) {
        return std::unexpected(window_error::OutOfMemory{ancilla_count, window_depth});
    }
    // The sizes come straight from the caller, so running out of memory here
    // is an answer for the caller, not a reason to end the process. This is
    // the one place the window meets the allocator's exceptions.
    try {
        window.slots_.reserve(static_cast<size_t>(window_depth));
        window.matrix_.reserve(static_cast<size_t>(ancilla_count * window_depth));
    } catch (const std::bad_alloc&) {
        return std::unexpected(window_error::OutOfMemory{ancilla_count, window_depth});
    } catch (const std::length_error&) {
        return std::unexpected(window_error::OutOfMemory{ancilla_count, window_depth});
    }
    return window;
}

void SyndromeWindow::push_owned(OwnedSyndromeData&& data) {
    if (count_ == window_depth_) {
        // Full: the newest round takes the oldest one's slot, destroying it.
        slots_[static_cast<size_t>(oldest_)] = std::move(data);
        oldest_ = oldest_ + 1 == window_depth_ ? 0 : oldest_ + 1;
    } else {
        // Filling: the rounds lie in order from slot 0, within the capacity
        // reserved at creation.
        slots_.push_back(std::move(data));
        ++count_;
    }
    rebuild_matrix();
}

void SyndromeWindow::rebuild_matrix() {
    const size_t width = static_cast<size_t>(ancilla_count_);
    // Within the capacity reserved at creation, so this never reallocates.
    matrix_.resize(static_cast<size_t>(count_) * width);
    uint8_t* row = matrix_.data();
    for (uint64_t age = 0; age < count_; ++age, row += width) {
        const std::vector<uint8_t>& events = slots_[slot_of(age)].detector_events;
        const size_t taken = std::min(width, events.size());
        if (taken != 0) std::memcpy(row, events.data(), taken);
        if (taken != width) std::memset(row + taken, 0, width - taken);
    }
}

std::vector<uint32_t> SyndromeWindow::active_detectors() const {
    std::vector<uint32_t> out;
    active_detectors(out);
    return out;
}

void SyndromeWindow::active_detectors(std::vector<uint32_t>& out) const {
    out.clear();
    const uint8_t* bytes = matrix_.data();
    const size_t n = matrix_.size();
    size_t i = 0;
    // Most windows are nearly all zeros: skip eight quiet detectors at a time.
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if (word == 0) continue;
        for (size_t j = i; j < i + 8; ++j) {
            if (bytes[j] == 1) out.push_back(static_cast<uint32_t>(j));
        }
    }
    for (; i < n; ++i) {
        if (bytes[i] == 1) out.push_back(static_cast<uint32_t>(i));
    }
}

}  // namespace veskar
