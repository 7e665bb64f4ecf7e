// Argument parsing for the entry points that take parameters, and the
// conversions of Python values to the aggregator's inputs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "python/owned_ref.h"
#include "state/sketch_state.h"

namespace vantorelle::python {

// A parameter list of positional-or-keyword parameters, the first
// `required` of which must be given. `full_name` names the function in
// messages, e.g. "HyperLogLogPlusPlus.add()".
struct Signature {
  const char* full_name;
  const char* const* names;
  int count;
  int required;
};

// The most parameters an entry point has.
inline constexpr int kMaxParameters = 3;

// Fills out[0..count) with the arguments, nullptr for an absent optional
// parameter. On failure a TypeError is set and false returned. The vectorcall
// form lends references from the caller's argument array, which stays alive
// for the whole call; the tuple-and-dict form hands out new references.
bool parse_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** out);
bool parse_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, OwnedRef* out);

// `ty`: a type object.
bool convert_type(PyObject* object, PyTypeObject** out);

// A precision: any object with an integer conversion, in the int32 range.
bool convert_precision(PyObject* object, const char* name, std::int32_t* out);

// The `data` of from_bytes: bytes or a bytes subclass. The view borrows the
// object's buffer.
bool convert_bytes_object(PyObject* object, ByteView* out);

// A byte string read from a Python object: bytes and bytearray are viewed
// in place, any other sequence of integers 0..255 is copied.
class ByteSequence {
 public:
  // Accepts `object` when it is no str, passes the sequence check and
  // iterates to integers 0..255. A refusal leaves no exception set.
  bool read(PyObject* object);
  ByteView view() const { return view_; }

 private:
  bool read_generic(PyObject* object);

  ByteView view_;
  Bytes storage_;
};

}  // namespace vantorelle::python
