// Any other iterable: iterated in C, each item converted exactly as `add`
// converts its argument (64-bit integer, then UTF-8 text, then a sequence of
// byte values). Lists and tuples are read by index, the rest through the
// iterator protocol.
#include "native/arrow_objects.h"
#include "native/column_builder.h"
#include "native/item_iteration.h"
#include "native/refusal_messages.h"
#include "python/value_conversion.h"

namespace vantorelle::native {
namespace {

// One item; false when the column ends here (a refusal is in the builder).
bool take(PyObject* item, std::int64_t position, python::ByteSequence& bytes,
          ColumnBuilder& builder) {
  python::ConvertedValue value;
  if (!python::convert_value(item, bytes, &value)) {
    // (an interrupted conversion's exception ends the column as it is)
    if (!PyErr_Occurred()) builder.refuse(position, refused_item_message(item));
    return false;
  }
  if (!builder.column_type()) builder.set_column_type(value.type);
  const std::uint64_t hash = value.type == InputType::LONG
                                 ? HyperLogLogPlusPlus::hash_long(value.number)
                                 : HyperLogLogPlusPlus::hash_bytes(value.bytes);
  if (!builder.has_first()) {
    // The value as it was hashed: the item itself may change before the
    // column ends (a buffer refilled by a generator) or convert otherwise
    // a second time (an __index__ with state of its own).
    OwnedRef snapshot(value_object(value.type, value.number, value.bytes));
    if (!snapshot) return false;
    return builder.hold_first(snapshot.get(), value.type, hash, position);
  }
  return builder.add(value.type, hash, position);
}

}  // namespace

bool read_iterable_column(PyObject* values, ColumnBuilder& builder) {
  python::ByteSequence bytes;
  return for_each_item(values, [&](PyObject* item, std::int64_t position) {
    return take(item, position, bytes, builder);
  });
}

}  // namespace vantorelle::native
