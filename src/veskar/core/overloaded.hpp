#pragma once

#include <variant>

// Every error family of the core is written one way:
//
//   namespace window_error {
//   struct ZeroDepth {};
//   struct SizeOverflow { uint64_t ancilla_count; uint64_t window_depth; };
//   }
//   using WindowError = std::variant<window_error::ZeroDepth, window_error::SizeOverflow>;
//   std::string message(const WindowError& err);  // one lambda per variant, in Overloaded
//
// A fallible operation returns std::expected<Value, FamilyError>, or
// std::expected<void, FamilyError> when it has nothing else to give, and
// fails with std::unexpected(family_error::Variant{...}). No call site builds
// a message; the Python layer picks each variant's exception type.

namespace veskar {

// One visitor from several lambdas, for std::visit over error variants.
template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// Clang before 17 does not deduce aggregate template arguments by itself.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Whether an error of any family is the given variant.
template <class Variant, class... Ts>
bool holds(const std::variant<Ts...>& err) {
    return std::holds_alternative<Variant>(err);
}

}  // namespace veskar
