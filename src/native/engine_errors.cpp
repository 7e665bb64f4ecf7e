#include "native/engine_errors.h"

#include "engine/input_errors.h"
#include "native/errors.h"

namespace vantorelle::native {

void raise_engine_error(const SketchError& error) {
  switch (engine::fault_of(error)) {
    case engine::InputFault::Malformed: raise_sketch_error(ErrorClass::InvalidInput, error.message()); return;
    case engine::InputFault::Refused: raise_sketch_error(ErrorClass::Refused, error.message()); return;
    case engine::InputFault::Corrupt: raise_sketch_error(ErrorClass::Corrupt, error.message()); return;
    case engine::InputFault::Incompatible: raise_sketch_error(ErrorClass::Incompatible, error.message()); return;
  }
}

}  // namespace vantorelle::native
