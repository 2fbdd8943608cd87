// Result<T, E>: a success value or an error value, never both.
//
// Failures that callers are expected to handle (a file that cannot be opened,
// a body that fails validation) travel as values of this type rather than as
// exceptions, so that they can be inspected, rendered and tested without
// unwinding.
#pragma once

#include <utility>
#include <variant>

namespace taglex {

// Tags an error value so that Result<T, E> can be built from it even when T
// and E are the same type.
template <class E>
struct Err {
  E error;
};

template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class Result {
 public:
  // Implicit from a success value or from an Err: `return value;` and
  // `return Err{error};` both read naturally at the call site.
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  template <class F>
  Result(Err<F> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Precondition: ok().
  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }

  // Precondition: !ok().
  E& error() & { return *std::get_if<1>(&v_); }
  const E& error() const& { return *std::get_if<1>(&v_); }
  E&& error() && { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace taglex
