// Owners of the Arrow C structs taken out of PyCapsules: each releases its
// struct at the end of its life.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/arrow_abi.h"
#include "python/owned_ref.h"

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

// Moves the two structs out of the (schema, array) pair of capsules that
// __arrow_c_array__ returns.
inline bool move_from_array_pair(PyObject* pair, ArrowSchema* schema, ArrowArray* array) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
    PyErr_SetString(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) pair of capsules");
    return false;
  }
  return move_from_capsule(PyTuple_GET_ITEM(pair, 0), "arrow_schema", schema) &&
         move_from_capsule(PyTuple_GET_ITEM(pair, 1), "arrow_array", array);
}

// Calls object.<name>() when the method exists; `*result` stays empty when
// it does not.
inline bool call_if_present(PyObject* object, const char* name, python::OwnedRef* result) {
  PyObject* method = nullptr;
  const int found = PyObject_GetOptionalAttrString(object, name, &method);
  if (found <= 0) return found == 0;
  python::OwnedRef held(method);
  result->reset(PyObject_CallNoArgs(method));
  return static_cast<bool>(*result);
}

// Raises the ValueError for a stream call that returned the non-zero
// `code`, with the producer's own message where it gives one; returns false.
inline bool stream_failed(ArrowArrayStream& stream, int code) {
  const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
  PyErr_Format(PyExc_ValueError, "reading the Arrow stream failed (error %d): %s", code,
               message ? message : "no message");
  return false;
}

}  // namespace vantorelle::native
