// Owners of the Arrow C structs taken out of PyCapsules: each releases its
// struct at the end of its life.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "native/arrow_abi.h"

namespace vantorelle::native {

// Moved-out C structs, released at the end of their owner's life. The
// producer's release callbacks may need the GIL, which every owner here
// holds when it is destroyed.
struct OwnedSchema {
  ArrowSchema schema{};
  OwnedSchema() = default;
  OwnedSchema(const OwnedSchema&) = delete;
  OwnedSchema& operator=(const OwnedSchema&) = delete;
  ~OwnedSchema() {
    if (schema.release) schema.release(&schema);
  }
};

struct OwnedArray {
  ArrowArray array{};
  OwnedArray() = default;
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;
  ~OwnedArray() {
    if (array.release) array.release(&array);
  }
};

struct OwnedStream {
  ArrowArrayStream stream{};
  OwnedStream() = default;
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;
  ~OwnedStream() {
    if (stream.release) stream.release(&stream);
  }
};

// Takes the struct out of a capsule, leaving the capsule's copy released
// (release = NULL), as the PyCapsule interface asks of consumers.
template <class T>
inline bool move_from_capsule(PyObject* capsule, const char* name, T* out) {
  auto* source = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (source == nullptr) return false;
  if (source->release == nullptr) {
    PyErr_Format(PyExc_ValueError, "the Arrow %s capsule was already consumed", name);
    return false;
  }
  *out = *source;
  source->release = nullptr;
  return true;
}

}  // namespace vantorelle::native
