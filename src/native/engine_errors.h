// Engine errors (engine/input_errors.h) as the package's exception classes:
// the class their fault names, with their text as it is.
#pragma once

#include "error/sketch_error.h"

namespace vantorelle::native {

void raise_engine_error(const SketchError& error);

}  // namespace vantorelle::native
