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

#include "error/sketch_error.h"

namespace vantorelle {

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

  T& value() & { return *std::get_if<0>(&storage_); }
  const T& value() const& { return *std::get_if<0>(&storage_); }
  T&& value() && { return std::move(*std::get_if<0>(&storage_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*std::get_if<0>(&storage_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const SketchError& error() const& { return *std::get_if<1>(&storage_); }
  SketchError&& error() && { return std::move(*std::get_if<1>(&storage_)); }
  // Moves the error out as an Err, for passing it up unchanged.
  Err take_error() { return Err(std::move(*std::get_if<1>(&storage_))); }

 private:
  std::variant<T, SketchError> storage_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Err err) : error_(std::move(err.error)) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  const SketchError& error() const& { return *error_; }
  SketchError&& error() && { return std::move(*error_); }
  Err take_error() { return Err(std::move(*error_)); }

 private:
  // Empty on success, so that the common path constructs no string.
  std::optional<SketchError> error_;
};

using Status = Result<void>;

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
