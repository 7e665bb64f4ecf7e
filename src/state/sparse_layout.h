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

#include <array>
#include <cstdint>
#include <optional>

#include "state/sketch_state.h"
#include "utils/bytes.h"

namespace vantorelle {

class SparseLayout {
 public:
  // The layout of messages whose fixed fields are those of `fields` (type,
  // encoding version, value type, precision, sparse precision); nothing when
  // one of them does not fit in a one-byte varint.
  static std::optional<SparseLayout> of(const SketchState& fields);

  // The sparse_data of `bytes` when it is a message of this layout to its
  // last byte. decode_state_view then gives the same: these fixed fields,
  // no data, this sparse_data. Nothing for any other message.
  std::optional<ByteView> sparse_data(ByteView bytes) const;

 private:
  SparseLayout() = default;

  std::uint8_t type_ = 0;
  std::array<std::uint8_t, 6> outer_{};  // 18 encoding_version 20 value_type 82 07
  std::array<std::uint8_t, 5> inner_{};  // 18 precision 20 sparse_precision 32
};

}  // namespace vantorelle
