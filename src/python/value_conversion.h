// The conversion of a Python value to the input of one add, tried in the
// class's order: a signed 64-bit integer (int, bool, __index__), then UTF-8
// text (str and subclasses), then a byte sequence. Shared by `add` and by
// the column functions' reading of iterables, so a column's items convert
// exactly as `add` converts its argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "hll/hyperloglogplusplus.h"
#include "python/arguments.h"

namespace vantorelle::python {

// One converted value. `bytes` views the text's UTF-8, the bytes object's
// contents, or the ByteSequence handed to convert_value, and lives as long
// as those do.
struct ConvertedValue {
  InputType type = InputType::LONG;
  std::int64_t number = 0;  // LONG
  ByteView bytes;           // STRING, BYTES
};

// False when no conversion applies (no exception set), or when a
// conversion was interrupted (an exception set: see clear_refusal).
// `storage` holds the bytes of a sequence that is not a bytes or bytearray
// object.
bool convert_value(PyObject* value, ByteSequence& storage, ConvertedValue* out);

// Clears the exception of a conversion that refused its value, and returns
// true; leaves one that must reach the caller (KeyboardInterrupt or any
// other exception that is not an Exception, and MemoryError), and returns
// false: a Ctrl-C while a value's __index__ runs is not a refusal.
bool clear_refusal();

}  // namespace vantorelle::python
