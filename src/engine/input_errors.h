// The engine's errors are the core's SketchError values; which of the
// package's exception classes a door raises for one is told by its kind:
//
//   fault         kind                   a door raises
//   Malformed     InvalidArgument        InvalidInputError  (bad arguments, malformed arrays)
//   Refused       Generic                RefusedValueError  (a value or column type that does not count)
//   Corrupt       ProtoDeserialization   CorruptSketchError (stored bytes that are not a sketch)
//   Incompatible  any other              IncompatibleSketchError
//
// An engine error's message is its whole text: a door shows message(), not
// display(). A core error the engine passes up is rewritten once, here, so
// that its kind's prefix stays part of the text.
#pragma once

#include <string>

#include "error/result.h"

namespace vantorelle::engine {

enum class InputFault { Malformed, Refused, Corrupt, Incompatible };

inline Err input_error(InputFault fault, std::string message) {
  switch (fault) {
    case InputFault::Malformed: return Err(ErrorKind::InvalidArgument, std::move(message));
    case InputFault::Refused: return Err(ErrorKind::Generic, std::move(message));
    case InputFault::Corrupt: return Err(ErrorKind::ProtoDeserialization, std::move(message));
    case InputFault::Incompatible: break;
  }
  return Err(ErrorKind::IncompatiblePrecision, std::move(message));
}

inline InputFault fault_of(const SketchError& error) {
  switch (error.kind()) {
    case ErrorKind::InvalidArgument: return InputFault::Malformed;
    case ErrorKind::Generic: return InputFault::Refused;
    case ErrorKind::ProtoDeserialization: return InputFault::Corrupt;
    default: return InputFault::Incompatible;
  }
}

// The refusal of an integer that sketches do not count (one outside the
// signed 64-bit range: an unsigned value above 2^63 - 1), `shown` in
// decimal, as every door words it.
inline std::string integer_range_refusal(const std::string& shown) {
  return "Unsupported type for HyperLogLogPlusPlus: the integer " + shown +
         " is outside the signed 64-bit range (-2**63 to 2**63 - 1) that sketches count";
}

// A core error as an engine error: an invalid argument keeps its text, any
// other kind becomes an incompatibility whose text is the core's display.
inline Err from_core(const SketchError& error) {
  if (error.kind() == ErrorKind::InvalidArgument) return Err(error);
  return input_error(InputFault::Incompatible, error.display());
}

}  // namespace vantorelle::engine
