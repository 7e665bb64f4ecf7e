// Turning failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "error/internal_failure.h"
#include "error/sketch_error.h"

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

// Runs `body` and makes sure no C++ exception reaches the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const InternalFailure& failure) {
    raise_internal_failure(failure.what());
  } catch (const std::exception& exception) {
    raise_internal_failure(exception.what());
  } catch (...) {
    raise_internal_failure("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace vantorelle::python
