// The boundary between C++ and the interpreter: no C++ exception may cross
// it. Shared by both extension modules, which differ only in how a broken
// invariant is reported.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

namespace vantorelle::python {

// Runs `body`; an allocation failure becomes MemoryError, any other C++
// exception (InternalFailure above all) is handed to `on_failure` with its
// text, which sets the Python exception. Returns nullptr then.
template <class Body, class OnFailure>
PyObject* guarded_with(Body&& body, OnFailure&& on_failure) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    on_failure(exception.what());
  } catch (...) {
    on_failure("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace vantorelle::python
