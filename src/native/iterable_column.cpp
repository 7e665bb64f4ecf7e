// Any other iterable: iterated in C, each item converted exactly as `add`
// converts its argument (64-bit integer, then UTF-8 text, then a sequence of
// byte values). Lists and tuples are read by index, the rest through the
// iterator protocol.
#include "native/column_builder.h"
#include "python/arguments.h"

namespace vantorelle::native {
namespace {

// The add conversions, in add's order. False when none applies (no
// exception set).
bool convert(PyObject* value, python::ByteSequence& bytes, InputType* type, std::uint64_t* hash) {
  if (PyLong_Check(value) || PyIndex_Check(value)) {
    const long long number = PyLong_AsLongLong(value);
    if (number != -1 || !PyErr_Occurred()) {
      *type = InputType::LONG;
      *hash = HyperLogLogPlusPlus::hash_long(number);
      return true;
    }
    PyErr_Clear();
    if (PyLong_CheckExact(value)) return false;  // out of range: neither text nor a sequence
  }
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();  // lone surrogates
      return false;
    }
    *type = InputType::STRING;
    *hash = HyperLogLogPlusPlus::hash_bytes(
        ByteView(reinterpret_cast<const std::uint8_t*>(utf8), static_cast<std::size_t>(size)));
    return true;
  }
  if (!bytes.read(value)) return false;
  *type = InputType::BYTES;
  *hash = HyperLogLogPlusPlus::hash_bytes(bytes.view());
  return true;
}

// One item; false when the column ends here (a refusal is in the builder).
bool take(PyObject* item, std::int64_t position, python::ByteSequence& bytes,
          ColumnBuilder& builder) {
  InputType type;
  std::uint64_t hash;
  if (!convert(item, bytes, &type, &hash)) {
    builder.refuse(position, kUnsupportedType);
    return false;
  }
  if (!builder.column_type()) builder.set_column_type(type);
  if (!builder.has_first()) return builder.hold_first(item, type, position);
  return builder.add(type, hash, position);
}

}  // namespace

bool read_iterable_column(PyObject* values, ColumnBuilder& builder) {
  python::ByteSequence bytes;
  if (PyList_CheckExact(values) || PyTuple_CheckExact(values)) {
    const bool is_list = PyList_CheckExact(values);
    // The size is read anew each round: a conversion may run Python code
    // that changes the list.
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t size = is_list ? PyList_GET_SIZE(values) : PyTuple_GET_SIZE(values);
      if (i >= size) break;
      OwnedRef item(Py_NewRef(is_list ? PyList_GET_ITEM(values, i) : PyTuple_GET_ITEM(values, i)));
      if (!take(item.get(), i, bytes, builder)) break;
    }
    return true;
  }
  OwnedRef iterator(PyObject_GetIter(values));
  if (!iterator) return false;
  for (std::int64_t i = 0;; ++i) {
    OwnedRef item(PyIter_Next(iterator.get()));
    if (!item) break;
    if (!take(item.get(), i, bytes, builder)) break;
  }
  // An iterator that raised ends the call with its own exception.
  return !PyErr_Occurred();
}

}  // namespace vantorelle::native
