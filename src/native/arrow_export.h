// Columns handed back to Python through the Arrow PyCapsule interface: a
// small Python type whose __arrow_c_array__ exports an int64 or a binary
// array without copying, so pyarrow.array(obj) and polars.Series(obj)
// import it directly. Every export shares the column's buffers, which live
// until the last exported array and the Python object are released. An
// int64 column is also a writable buffer of its values (the buffer
// protocol, one-byte items), for numpy.frombuffer and memoryview: the one
// who holds the object decides whether it is read through Arrow or
// written through a buffer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hll/grouped_sketches.h"

namespace vantorelle::native {

// Adds the type to the module (at module execution).
int add_arrow_export_type(PyObject* module);

// A new object exporting `values` as an Arrow int64 array.
PyObject* export_int64(PyObject* module, std::vector<std::int64_t> values);
// The same for `length` values left unwritten, which the caller writes
// through `*values` (the GIL need not be held for it) before the object
// reaches Python code.
PyObject* new_int64_column(PyObject* module, std::size_t length, std::int64_t** values);
// A new object exporting the sketches as an Arrow binary array (null where
// an entry is absent), or large_binary when they take more than 2 GiB.
PyObject* export_binary(PyObject* module, SerializedSketches sketches);

}  // namespace vantorelle::native
