// Errors as values: Result<T> holds either a T or exactly one SketchError.
//
// A deliberately small stand-in for std::expected, so that the core builds
// as C++20 with both g++ and clang (the fuzz build uses clang, whose C++20
// mode cannot use libstdc++'s <expected>).
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "error/internal_failure.h"
#include "error/sketch_error.h"

namespace vantorelle {

// The internal failures of reading the alternative a Result does not hold:
// a caller that skipped the has_value() check.
[[noreturn]] inline void result_holds_an_error() {
  internal_failure("Result holds an error, not a value");
}
[[noreturn]] inline void result_holds_a_value() {
  internal_failure("Result holds a value, not an error");
}

// Wraps an error so that `return Err(...)` converts to any Result<T>.
struct Err {
  SketchError error;
  explicit Err(SketchError e) : error(std::move(e)) {}
  Err(ErrorKind kind, std::string message) : error(kind, std::move(message)) {}
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Result(Err err) : storage_(std::in_place_index<1>, std::move(err.error)) {}

  bool has_value() const { return storage_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // Reading the alternative that is not held is an internal failure.
  T& value() & { return *value_or_fail(); }
  const T& value() const& { return *value_or_fail(); }
  T&& value() && { return std::move(*value_or_fail()); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*value_or_fail()); }
  T* operator->() { return value_or_fail(); }
  const T* operator->() const { return value_or_fail(); }

  const SketchError& error() const& { return *error_or_fail(); }
  SketchError&& error() && { return std::move(*error_or_fail()); }
  // Moves the error out as an Err, for passing it up unchanged.
  Err take_error() { return Err(std::move(*error_or_fail())); }

 private:
  T* value_or_fail() {
    T* held = std::get_if<0>(&storage_);
    if (held == nullptr) [[unlikely]] result_holds_an_error();
    return held;
  }
  const T* value_or_fail() const { return const_cast<Result*>(this)->value_or_fail(); }
  SketchError* error_or_fail() {
    SketchError* held = std::get_if<1>(&storage_);
    if (held == nullptr) [[unlikely]] result_holds_a_value();
    return held;
  }
  const SketchError* error_or_fail() const { return const_cast<Result*>(this)->error_or_fail(); }

  std::variant<T, SketchError> storage_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Err err) : error_(std::move(err.error)) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  // Reading the error of a success is an internal failure.
  const SketchError& error() const& { return *error_or_fail(); }
  SketchError&& error() && { return std::move(*error_or_fail()); }
  Err take_error() { return Err(std::move(*error_or_fail())); }

 private:
  SketchError* error_or_fail() {
    if (!error_) [[unlikely]] result_holds_a_value();
    return &*error_;
  }
  const SketchError* error_or_fail() const { return const_cast<Result*>(this)->error_or_fail(); }

  // Empty on success, so that the common path constructs no string.
  std::optional<SketchError> error_;
};

using Status = Result<void>;

// Passes the error of a Status (or Result) up unchanged, in the manner of
// Abseil's RETURN_IF_ERROR: `VANTORELLE_RETURN_IF_ERROR(check(x));` stands for
// `Status s = check(x); if (!s) return s.take_error();`.
#define VANTORELLE_RETURN_IF_ERROR(...)                              \
  do {                                                               \
    auto vantorelle_status_ = (__VA_ARGS__);                         \
    if (!vantorelle_status_) return vantorelle_status_.take_error(); \
  } while (0)

inline Err invalid_state(std::string message) {
  return Err(ErrorKind::InvalidState, std::move(message));
}
inline Err invalid_argument(std::string message) {
  return Err(ErrorKind::InvalidArgument, std::move(message));
}
inline Err incompatible_precision(std::string message) {
  return Err(ErrorKind::IncompatiblePrecision, std::move(message));
}

}  // namespace vantorelle
