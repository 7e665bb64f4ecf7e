// The one translation of engine failures into Python exceptions, shared by
// both extension modules so that a failure reads the same from either.
//
// A SketchError of kind InvalidArgument carries its display text; every
// other kind gets the product prefix in front of it. Each module picks the
// classes: vantorelle_py the built-ins ValueError and RuntimeError (its
// texts and types are fixed), vantorelle._native its own sketch-error
// classes, which derive from those same built-ins.
//
// A broken invariant is one policy for both: the BaseException subclass
// InternalError, which ordinary `except Exception` handling does not swallow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "error/sketch_error.h"

namespace vantorelle::python {

inline constexpr std::string_view kProductPrefix = "Vantorelle error: ";

// Sets `exception_class` with `text`; a stray non-UTF-8 byte of a
// third-party message is escaped rather than failing the decode.
void raise_text(PyObject* exception_class, std::string_view text);

// InvalidArgument → `invalid_argument` with the display text, every other
// kind → `other` with the product prefix.
void raise_translated(const SketchError& error, PyObject* invalid_argument, PyObject* other);

// The InternalError class body, created once per module that reports
// broken invariants under its own name.
PyObject* new_internal_error_class(const char* qualified_name);

}  // namespace vantorelle::python
