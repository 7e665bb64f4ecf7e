// Any other iterable: iterated in C, each item converted exactly as `add`
// converts its argument (64-bit integer, then UTF-8 text, then a sequence of
// byte values). Lists and tuples are read by index, the rest through the
// iterator protocol.
#include "native/column_builder.h"
#include "native/refusal_messages.h"
#include "python/value_conversion.h"

namespace vantorelle::native {
namespace {

// One item; false when the column ends here (a refusal is in the builder).
bool take(PyObject* item, std::int64_t position, python::ByteSequence& bytes,
          ColumnBuilder& builder) {
  python::ConvertedValue value;
  if (!python::convert_value(item, bytes, &value)) {
    builder.refuse(position, refused_item_message(item));
    return false;
  }
  if (!builder.column_type()) builder.set_column_type(value.type);
  if (!builder.has_first()) return builder.hold_first(item, value.type, position);
  const std::uint64_t hash = value.type == InputType::LONG
                                 ? HyperLogLogPlusPlus::hash_long(value.number)
                                 : HyperLogLogPlusPlus::hash_bytes(value.bytes);
  return builder.add(value.type, hash, position);
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
