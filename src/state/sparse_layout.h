// The layout nearly every stored sparse sketch has, this library's own and
// other producers' alike: each field once, in field-number order, every
// fixed field a one-byte varint:
//
//   08 type  10 num_values  18 encoding_version  20 value_type
//   82 07 length  [ 10 sparse_size  18 precision  20 sparse_precision
//                   32 length sparse_data ]
//
// A column's rows share the fixed bytes, so that a row of the layout is read
// by comparing them and following three lengths, with nothing decoded
// field by field. Anything else (another order, a missing or repeated
// field, a long varint, bytes after sparse_data) is left to the general
// readers of state_message.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "state/sketch_state.h"
#include "utils/bytes.h"
#include "utils/mapped_allocator.h"

namespace vantorelle {

class SparseLayout {
 public:
  // The layout of messages whose fixed fields are those of `fields` (type,
  // encoding version, value type, precision, sparse precision); nothing when
  // one of them does not fit in a one-byte varint.
  static std::optional<SparseLayout> of(const SketchState& fields);
  // The same, when the message encode_state_into writes for these fixed
  // fields (and a sparse_size above 0) takes the layout: it leaves out
  // fields of their defaults. For append().
  static std::optional<SparseLayout> written_for(const SketchState& fields);

  // Appends the message of this layout that encode_state_into writes for
  // these fixed fields (when written_for gave the layout), num_values,
  // sparse_size (above 0) and sparse_data (within the sparse budget, so
  // that the message is far from the readers' limit), without building the
  // state.
  void append(Bytes& out, std::uint64_t num_values, std::uint32_t sparse_size, ByteView sparse_data) const;
  void append(MappedVector<std::uint8_t>& out, std::uint64_t num_values, std::uint32_t sparse_size,
              ByteView sparse_data) const;

  // The sparse_data of `bytes` when it is a message of this layout to its
  // last byte. decode_state_view then gives the same: these fixed fields,
  // no data, this sparse_data. Nothing for any other message. Inline: a
  // column's loop reads every row with it.
  std::optional<ByteView> sparse_data(ByteView bytes) const {
    if (bytes.size() > kMaxMessageBytes) return std::nullopt;
    const std::uint8_t* at = bytes.data();
    const std::uint8_t* const end = at + bytes.size();
    std::uint64_t length = 0;
    if (end - at < 3 || at[0] != 0x08 || at[1] != type_ || at[2] != 0x10) return std::nullopt;
    at += 3;
    if (!skip_varint(at, end, kNumValuesBytes)) return std::nullopt;
    if (end - at < 6 || load32(at) != outer_head_ || load16(at + 4) != outer_tail_) return std::nullopt;
    at += 6;
    // hll_state runs to the end.
    if (!read_length(at, end, length) || length != static_cast<std::size_t>(end - at)) return std::nullopt;
    if (end - at < 1 || at[0] != 0x10) return std::nullopt;
    at += 1;
    if (!skip_varint(at, end, kSparseSizeBytes)) return std::nullopt;
    if (end - at < 5 || load32(at) != inner_head_ || at[4] != 0x32) return std::nullopt;
    at += 5;
    // So does sparse_data.
    if (!read_length(at, end, length) || length != static_cast<std::size_t>(end - at)) return std::nullopt;
    return ByteView(at, static_cast<std::size_t>(end - at));
  }

 private:
  SparseLayout() = default;

  // The general reader's limit on a message (INT_MAX bytes).
  static constexpr std::size_t kMaxMessageBytes = 0x7FFFFFFF;
  // num_values takes nine bytes at the most, as the common-shape reader
  // reads it (a tenth is left to the general reader); sparse_size four, so
  // that it is a non-negative int32 whatever its bytes; a length five.
  static constexpr int kNumValuesBytes = 9;
  static constexpr int kSparseSizeBytes = 4;
  static constexpr int kLengthBytes = 5;

  template <class Out>
  void append_to(Out& out, std::uint64_t num_values, std::uint32_t sparse_size, ByteView sparse_data) const;

  static std::uint32_t load32(const std::uint8_t* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }
  static std::uint16_t load16(const std::uint8_t* at) {
    std::uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }
  // Moves past a varint of at most `max_bytes` bytes; false for a longer
  // one or one that `end` cuts off.
  static bool skip_varint(const std::uint8_t*& at, const std::uint8_t* end, int max_bytes) {
    for (int k = 0; k < max_bytes && at + k < end; ++k) {
      if (at[k] < 0x80) {
        at += k + 1;
        return true;
      }
    }
    return false;
  }
  static bool read_length(const std::uint8_t*& at, const std::uint8_t* end, std::uint64_t& length) {
    std::uint64_t out = 0;
    for (int k = 0; k < kLengthBytes && at + k < end; ++k) {
      out |= std::uint64_t{at[k] & 0x7Fu} << (7 * k);
      if (at[k] < 0x80) {
        length = out;
        at += k + 1;
        return true;
      }
    }
    return false;
  }

  std::uint8_t type_ = 0;
  // The fixed bytes as loaded in place: 18 encoding_version 20 value_type,
  // then 82 07; 18 precision 20 sparse_precision (then 32).
  std::uint32_t outer_head_ = 0;
  std::uint16_t outer_tail_ = 0;
  std::uint32_t inner_head_ = 0;
};

}  // namespace vantorelle
