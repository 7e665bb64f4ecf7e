#include "error/sketch_error.h"

namespace vantorelle {

std::string_view display_prefix(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::IncompatiblePrecision: return "Incompatible precision: ";
    case ErrorKind::InvalidState: return "Invalid HLL++ state: ";
    case ErrorKind::ProtoSerialization: return "Proto serialization error: ";
    case ErrorKind::ProtoDeserialization: return "Proto deserialization error: ";
    case ErrorKind::Io: return "IO error: ";
    case ErrorKind::InvalidArgument: return "Invalid argument: ";
    case ErrorKind::Generic: return "Generic error: ";
  }
  return "Generic error: ";
}

std::string SketchError::display() const {
  std::string text(display_prefix(kind_));
  text += message_;
  return text;
}

}  // namespace vantorelle
