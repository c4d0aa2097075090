// A value or an error, for every decoding step.
//
// Failures of the data are values of an error type; nothing in the core
// throws for them. The one exception that can leave the core is
// std::bad_alloc from the allocator: running out of memory is not an error
// value of this system, and the binding turns it into MemoryError.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace vorlane {

template <class E>
struct Failure {
  E error;
};

template <class E>
constexpr Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<T, E>, "value and error types must differ");

 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return *std::get_if<0>(&state_); }
  const T& value() const& { return *std::get_if<0>(&state_); }
  T&& value() && { return std::move(*std::get_if<0>(&state_)); }
  const E& error() const { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace vorlane
