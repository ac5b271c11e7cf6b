#pragma once

namespace veskar {

// One visitor from several lambdas, for std::visit over error variants.
template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// Clang before 17 does not deduce aggregate template arguments by itself.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace veskar
