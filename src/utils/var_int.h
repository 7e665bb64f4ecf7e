// Unsigned LEB128 coding of 32-bit values: 7-bit groups, least significant
// first, bit 7 set on every byte but the last; 1 to 5 bytes per value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/sketch_state.h"

namespace vantorelle {

// Bytes that encode_varint appends for `value`.
constexpr std::size_t varint_length(std::uint32_t value) {
  // 1 + (significant bits - 1) / 7, with zero taking one byte.
  const int bits = 32 - __builtin_clz(value | 1);
  return static_cast<std::size_t>(1 + (bits - 1) / 7);
}

void encode_varint(std::uint32_t value, Bytes& out);

struct DecodedVarint {
  std::uint32_t value;
  std::size_t length;  // bytes consumed, 1..5
};

// Decodes the varint at the start of `input`. Stored data that is cut off or
// longer than five bytes is an internal failure ("varint too long").
DecodedVarint decode_varint(ByteView input);

}  // namespace vantorelle
