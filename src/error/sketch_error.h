// The one failure type of the library: a kind plus an owned message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantorelle {

enum class ErrorKind : std::uint8_t {
  IncompatiblePrecision = 0,
  InvalidState = 1,
  ProtoSerialization = 2,
  ProtoDeserialization = 3,
  Io = 4,
  InvalidArgument = 5,
  Generic = 6,
};

// The fixed text that starts the display form of each kind.
std::string_view display_prefix(ErrorKind kind);

class SketchError {
 public:
  SketchError(ErrorKind kind, std::string message)
      : kind_(kind), message_(std::move(message)) {}

  ErrorKind kind() const { return kind_; }
  // The payload alone, without the kind's prefix.
  const std::string& message() const { return message_; }
  // The kind's prefix followed directly by the payload.
  std::string display() const;

  bool operator==(const SketchError&) const = default;

 private:
  ErrorKind kind_;
  std::string message_;
};

}  // namespace vantorelle
