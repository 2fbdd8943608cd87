// Overloaded{f, g, ...}: one callable made of several lambdas, for visiting a
// std::variant with one lambda per alternative.
#pragma once

namespace taglex {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace taglex
