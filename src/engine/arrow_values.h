// The Arrow value types a column of values may have, and how one row of each
// is read and hashed: the one table of what counts, and as what, for every
// reader of Arrow data (single columns, grouped tables, lists). A format
// outside the table cannot be counted.
//
// The readers trust the array: check_array (array_checks.h) has checked its
// buffers, offsets and views before any row is read.
//
//   Arrow format            counts as      row read as
//   b, c C s S i I l L      LONG           the integer (a boolean as 0 / 1);
//                                          a uint64 above 2^63 - 1 is refused
//   u U vu                  STRING         its UTF-8 bytes
//   z Z vz                  BYTES          its bytes
//   n                       (every row is null)
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "hll/hyperloglogplusplus.h"
#include "engine/arrow_abi.h"

namespace vantorelle::engine {

enum class Kind { Null, Bool, Int, Utf8, LargeUtf8, Utf8View, Binary, LargeBinary, BinaryView };

struct ValueFormat {
  Kind kind;
  int width = 0;  // bytes, for Int
  bool is_signed = false;
};

inline bool value_format(std::string_view format, ValueFormat* out) {
  static constexpr struct {
    std::string_view format;
    ValueFormat value;
  } kFormats[] = {
      {"n", {Kind::Null}},        {"b", {Kind::Bool}},
      {"c", {Kind::Int, 1, true}}, {"C", {Kind::Int, 1, false}},
      {"s", {Kind::Int, 2, true}}, {"S", {Kind::Int, 2, false}},
      {"i", {Kind::Int, 4, true}}, {"I", {Kind::Int, 4, false}},
      {"l", {Kind::Int, 8, true}}, {"L", {Kind::Int, 8, false}},
      {"u", {Kind::Utf8}},        {"U", {Kind::LargeUtf8}},  {"vu", {Kind::Utf8View}},
      {"z", {Kind::Binary}},      {"Z", {Kind::LargeBinary}}, {"vz", {Kind::BinaryView}},
  };
  for (const auto& entry : kFormats) {
    if (entry.format == format) {
      *out = entry.value;
      return true;
    }
  }
  return false;
}

inline InputType input_type_of(Kind kind) {
  switch (kind) {
    case Kind::Utf8: case Kind::LargeUtf8: case Kind::Utf8View: return InputType::STRING;
    case Kind::Binary: case Kind::LargeBinary: case Kind::BinaryView: return InputType::BYTES;
    default: return InputType::LONG;
  }
}

inline bool bit_set(const void* bitmap, std::int64_t index) {
  const auto* bytes = static_cast<const std::uint8_t*>(bitmap);
  return (bytes[index >> 3] >> (index & 7)) & 1;
}

template <class T>
T load(const void* buffer, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const char*>(buffer) + index * static_cast<std::int64_t>(sizeof(T)),
              sizeof value);
  return value;
}

// A value of at most 32 bits, sign- or zero-extended as its type says.
template <class T>
std::int64_t widened(const void* buffer, std::int64_t index) {
  return static_cast<std::int64_t>(load<T>(buffer, index));
}

// What one row holds.
enum class Row { Value, Null, Refused, Malformed };

// Reads the rows of one array of a value type (not a dictionary).
class ValueReader {
 public:
  ValueReader(const ValueFormat& format, const ArrowArray& array) : format_(format), array_(array) {}

  std::int64_t length() const { return array_.length; }
  const ValueFormat& format() const { return format_; }
  const ArrowArray& array() const { return array_; }

  bool is_null(std::int64_t row) const {
    if (format_.kind == Kind::Null) return true;
    const void* validity = array_.buffers[0];
    return array_.null_count != 0 && validity != nullptr && !bit_set(validity, array_.offset + row);
  }

  // The row as an integer (Bool, Int) or as bytes (the others).
  Row integer(std::int64_t row, std::int64_t* out) const {
    if (is_null(row)) return Row::Null;
    const std::int64_t index = array_.offset + row;
    const void* values = array_.buffers[1];
    if (format_.kind == Kind::Bool) {
      *out = bit_set(values, index) ? 1 : 0;
      return Row::Value;
    }
    // (each load widened on its own: in one conditional expression an int32
    // would first become the uint32 beside it)
    switch (format_.width) {
      case 1: *out = format_.is_signed ? widened<std::int8_t>(values, index) : widened<std::uint8_t>(values, index); break;
      case 2: *out = format_.is_signed ? widened<std::int16_t>(values, index) : widened<std::uint16_t>(values, index); break;
      case 4: *out = format_.is_signed ? widened<std::int32_t>(values, index) : widened<std::uint32_t>(values, index); break;
      default:
        if (!format_.is_signed) {
          const auto value = load<std::uint64_t>(values, index);
          if (value > static_cast<std::uint64_t>(INT64_MAX)) return Row::Refused;
          *out = static_cast<std::int64_t>(value);
        } else {
          *out = load<std::int64_t>(values, index);
        }
    }
    return Row::Value;
  }

  Row bytes(std::int64_t row, ByteView* out) const {
    if (is_null(row)) return Row::Null;
    const std::int64_t index = array_.offset + row;
    switch (format_.kind) {
      case Kind::Utf8: case Kind::Binary: {
        const auto start = load<std::int32_t>(array_.buffers[1], index);
        const auto end = load<std::int32_t>(array_.buffers[1], index + 1);
        *out = ByteView(static_cast<const std::uint8_t*>(array_.buffers[2]) + start,
                        static_cast<std::size_t>(end - start));
        return Row::Value;
      }
      case Kind::LargeUtf8: case Kind::LargeBinary: {
        const auto start = load<std::int64_t>(array_.buffers[1], index);
        const auto end = load<std::int64_t>(array_.buffers[1], index + 1);
        *out = ByteView(static_cast<const std::uint8_t*>(array_.buffers[2]) + start,
                        static_cast<std::size_t>(end - start));
        return Row::Value;
      }
      default: {
        // A 16-byte view: the length, then up to 12 bytes inline, or a
        // 4-byte prefix, the data buffer's number and the offset in it.
        const auto* view = static_cast<const std::uint8_t*>(array_.buffers[1]) + 16 * index;
        std::int32_t length;
        std::memcpy(&length, view, 4);
        if (length <= 12) {
          *out = ByteView(view + 4, static_cast<std::size_t>(length));
          return Row::Value;
        }
        std::int32_t buffer_index, offset;
        std::memcpy(&buffer_index, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        const auto* data = static_cast<const std::uint8_t*>(array_.buffers[2 + buffer_index]);
        *out = ByteView(data + offset, static_cast<std::size_t>(length));
        return Row::Value;
      }
    }
  }

  // A 64-bit unsigned row's value, for the message of its refusal.
  std::uint64_t unsigned_value(std::int64_t row) const {
    return load<std::uint64_t>(array_.buffers[1], array_.offset + row);
  }

  // The row's hash, for the input type of the format.
  Row hash(std::int64_t row, std::uint64_t* out) const {
    if (input_type_of(format_.kind) == InputType::LONG) {
      std::int64_t value;
      const Row read = integer(row, &value);
      if (read == Row::Value) *out = HyperLogLogPlusPlus::hash_long(value);
      return read;
    }
    ByteView value;
    const Row read = bytes(row, &value);
    if (read == Row::Value) *out = HyperLogLogPlusPlus::hash_bytes(value);
    return read;
  }

 private:
  ValueFormat format_;
  const ArrowArray& array_;
};

}  // namespace vantorelle::engine
