// A buffer view held for its scope, so that an early return or a C++
// exception cannot leave the exporter locked.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantorelle::python {

class BufferView {
 public:
  BufferView() = default;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // False with the exporter's exception set when it refuses `flags`.
  bool get(PyObject* object, int flags) {
    held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
    return held_;
  }
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace vantorelle::python
