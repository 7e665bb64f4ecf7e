// Argument parsing for the entry points that take parameters, and the
// conversions of Python values to the aggregator's inputs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

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

// An exact int (not a subclass) whose value fits a signed 64-bit integer,
// read straight from its digits: PyLong_AsLongLong takes a generic
// byte-array route for every int of more than one digit. Returns false
// when the int does not fit or has a layout this reader does not know; the
// caller then asks PyLong_AsLongLong, which decides (and refuses) as always.
inline bool exact_int_as_int64(PyObject* object, long long* out) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030F0000 && PyLong_SHIFT == 30
  // lv_tag: digit count above the low three bits; sign in the low two
  // (0 positive, 1 zero, 2 negative). Digits are 30 bits, least significant
  // first, and the top digit of a normalised int is not zero.
  const auto* number = reinterpret_cast<const PyLongObject*>(object);
  const std::uintptr_t tag = number->long_value.lv_tag;
  const digit* digits = number->long_value.ob_digit;
  std::uint64_t magnitude;
  switch (tag >> _PyLong_NON_SIZE_BITS) {
    case 0: magnitude = 0; break;
    case 1: magnitude = digits[0]; break;
    case 2: magnitude = digits[0] | (std::uint64_t{digits[1]} << 30); break;
    case 3:
      // The top digit holds bits 60 and up: below 8 fits either sign.
      if (digits[2] >= 8) {
        if ((tag & _PyLong_SIGN_MASK) != 2 || digits[2] != 8 || digits[1] != 0 || digits[0] != 0) {
          return false;
        }
        *out = INT64_MIN;  // -2^63 exactly
        return true;
      }
      magnitude = digits[0] | (std::uint64_t{digits[1]} << 30) | (std::uint64_t{digits[2]} << 60);
      break;
    default: return false;  // at least 2^90 in magnitude
  }
  const bool negative = (tag & _PyLong_SIGN_MASK) == 2;
  *out = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  return true;
#else
  (void)object;
  (void)out;
  return false;
#endif
}

// The UTF-8 text of a str or str subclass. Compact ASCII text is its own
// UTF-8 and is read in place; other text goes through the interpreter's
// cached encoding. False with an exception set for lone surrogates.
inline bool text_as_utf8(PyObject* object, std::string_view* out) {
  if (PyUnicode_IS_COMPACT_ASCII(object)) {
    *out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  *out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

// The contents of a bytes object or subclass, in place.
inline ByteView exact_bytes_view(PyObject* object) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

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
