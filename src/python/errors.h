// Turning failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "error/internal_failure.h"
#include "error/sketch_error.h"
#include "python/error_translation.h"
#include "python/guarded.h"

namespace vantorelle::python {

// InvalidArgument → ValueError, everything else → RuntimeError with the
// product prefix.
void raise_sketch_error(const SketchError& error);

// add's rule: a refused input (InvalidState) is a TypeError carrying the bare
// message; other kinds translate as above.
void raise_add_error(const SketchError& error);

// Raises the BaseException subclass reserved for broken internal invariants.
void raise_internal_failure(const char* text);

void raise_already_mutably_borrowed();
void raise_already_borrowed();

// Runs `body` and makes sure no C++ exception reaches the interpreter; a
// broken invariant becomes the internal-failure exception.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_with(body, raise_internal_failure);
}

}  // namespace vantorelle::python
