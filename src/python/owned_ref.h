// A strong reference released at the end of its scope, so that an early
// return or a C++ exception cannot leak it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::python {

class OwnedRef {
 public:
  explicit OwnedRef(PyObject* object = nullptr) : object_(object) {}
  ~OwnedRef() { Py_XDECREF(object_); }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void reset(PyObject* object) {
    Py_XDECREF(object_);
    object_ = object;
  }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  PyObject* object_;
};

}  // namespace vantorelle::python
