// Integer columns through the buffer protocol: numpy arrays of every integer
// and bool dtype, array.array, memoryviews, strided and non-contiguous views.
// Each item is hashed as `add` of the same Python int would hash it, in
// place, with the GIL released; nothing is copied.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "native/column_builder.h"
#include "native/errors.h"
#include "native/refusal_messages.h"
#include "python/buffer_view.h"

namespace vantorelle::native {
namespace {

struct ItemFormat {
  bool is_signed;
  bool swap;  // stored in the other byte order than this machine's
};

// Integer item formats of the struct module, with an optional byte-order
// prefix; the item size comes from the buffer itself. Anything else (floats,
// objects, strings, records) is not an integer column.
bool integer_format(const char* format, Py_ssize_t itemsize, ItemFormat* out) {
  if (format == nullptr) format = "B";
  bool big_endian = false;
  switch (*format) {
    case '@': case '=': case '<': ++format; break;
    case '>': case '!': big_endian = true; ++format; break;
    default: break;
  }
  if (format[0] == '\0' || format[1] != '\0') return false;
  switch (format[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': out->is_signed = true; break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': case '?': out->is_signed = false; break;
    default: return false;
  }
  if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return false;
  out->swap = big_endian != (std::endian::native == std::endian::big);
  return true;
}

template <class T>
T byte_swapped(T value) {
  using U = std::make_unsigned_t<T>;
  U bits = static_cast<U>(value);
  U swapped = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    swapped = static_cast<U>((swapped << 8) | (bits & 0xFF));
    bits = static_cast<U>(bits >> 8);
  }
  return static_cast<T>(swapped);
}

template <class T>
T load(const char* item, bool swap) {
  T value;
  std::memcpy(&value, item, sizeof value);
  return swap ? byte_swapped(value) : value;
}

// The item as a signed 64-bit value; false for an unsigned one above
// 2^63 - 1, which `add` refuses too.
template <class T>
bool item_value(const char* item, bool swap, std::int64_t* out) {
  const T value = load<T>(item, swap);
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    if (value > static_cast<std::uint64_t>(INT64_MAX)) return false;
  }
  *out = static_cast<std::int64_t>(value);
  return true;
}

// The items from `start` on, a block at a time: read, checked, then hashed
// together (fingerprint2011_words).
template <class T>
void hash_items(const Py_buffer& view, Py_ssize_t start, bool swap, ColumnBuilder& builder) {
  constexpr Py_ssize_t kBlock = 512;
  const char* base = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
  const Py_ssize_t length = view.shape ? view.shape[0] : view.len / view.itemsize;
  std::uint64_t hashes[kBlock];
  for (Py_ssize_t block = start; block < length; block += kBlock) {
    const Py_ssize_t count = std::min(kBlock, length - block);
    Py_ssize_t read = 0;
    for (; read < count; ++read) {
      std::int64_t value;
      if (!item_value<T>(base + (block + read) * stride, swap, &value)) break;
      hashes[read] = static_cast<std::uint64_t>(value);
    }
    HyperLogLogPlusPlus::hash_longs(hashes, static_cast<std::size_t>(read), hashes);
    for (Py_ssize_t i = 0; i < read; ++i) {
      if (!builder.add(InputType::LONG, hashes[i], block + i)) return;
    }
    if (read < count) {
      const Py_ssize_t at = block + read;
      builder.refuse(at, out_of_range_message(load<std::uint64_t>(base + at * stride, swap)));
      return;
    }
  }
}

// Dispatches on size and signedness to the loop above.
template <template <class> class Op, class... Args>
bool dispatch(Py_ssize_t itemsize, bool is_signed, Args&&... args) {
  switch (itemsize) {
    case 1: return is_signed ? Op<std::int8_t>()(args...) : Op<std::uint8_t>()(args...);
    case 2: return is_signed ? Op<std::int16_t>()(args...) : Op<std::uint16_t>()(args...);
    case 4: return is_signed ? Op<std::int32_t>()(args...) : Op<std::uint32_t>()(args...);
    default: return is_signed ? Op<std::int64_t>()(args...) : Op<std::uint64_t>()(args...);
  }
}

template <class T>
struct HashItems {
  bool operator()(const Py_buffer& view, Py_ssize_t start, bool swap, ColumnBuilder& builder) const {
    hash_items<T>(view, start, swap, builder);
    return true;
  }
};

template <class T>
struct FirstItem {
  bool operator()(const Py_buffer& view, bool swap, std::int64_t* value) const {
    return item_value<T>(static_cast<const char*>(view.buf), swap, value);
  }
};

}  // namespace

bool read_buffer_column(PyObject* values, ColumnBuilder& builder, bool* taken) {
  *taken = false;
  if (!PyObject_CheckBuffer(values)) return true;
  python::BufferView view;
  if (!view.get(values, PyBUF_RECORDS_RO)) {
    // An exporter that cannot give a strided view of itself is read as an
    // iterable instead.
    PyErr_Clear();
    return true;
  }
  ItemFormat format;
  if (!integer_format(view->format, view->itemsize, &format)) return true;
  if (view->ndim != 1) {
    raise_sketch_error(ErrorClass::InvalidInput,
                       "expected a one-dimensional column of integers, got " +
                           std::to_string(view->ndim) + " dimensions; flatten the array first");
    return false;
  }
  *taken = true;
  builder.set_column_type(InputType::LONG);
  const Py_ssize_t length = view->shape[0];
  if (length == 0) return true;

  std::int64_t first;
  if (!dispatch<FirstItem>(view->itemsize, format.is_signed, *view, format.swap, &first)) {
    builder.refuse(0, out_of_range_message(
                          load<std::uint64_t>(static_cast<const char*>(view->buf), format.swap)));
    return true;
  }
  OwnedRef first_object(PyLong_FromLongLong(first));
  if (!first_object) return false;
  if (!builder.hold_first(first_object.get(), InputType::LONG, HyperLogLogPlusPlus::hash_long(first), 0)) return true;
  {
    WithoutGil released;
    dispatch<HashItems>(view->itemsize, format.is_signed, *view, 1, format.swap, builder);
  }
  return true;
}

}  // namespace vantorelle::native
